#!/usr/bin/env bash
# Checks from Linux the archives that a real rotation produces: runs the logger's rotation
# test under Wine (1 MiB limit, real Compactor.exe), has it copy its .gz files out, then
# tests each with `gzip -t` and checks that it decompresses to UTF-16LE text with FF FE.
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/wine-env.sh"
work=$(mktemp -d /tmp/rotation_archives.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The figures count only when the rotation ran as its test says and every archive passed.
if ! ARCHIVE_TEST_COPY_TO="Z:${work//\//\\}" "$WINE64" "$BUILD_DIR/tests/tests_log.exe" \
  --gtest_filter='MachineLogRotation.FullFilesBecomeGzipArchivesAndTheNewFileStartsWithBom' \
  </dev/null >"$work/test.out" 2>&1; then
  cat "$work/test.out"
  echo "rotation test failed: its archives are not checked"
  exit 1
fi

total=0; ok=0
for gz in "$work"/*.gz; do
  [ -f "$gz" ] || continue
  total=$((total + 1))
  if gzip -t "$gz" && [ "$(gzip -dc "$gz" | head -c 2 | od -An -tx1 | tr -d ' ')" = "fffe" ]; then
    ok=$((ok + 1))
  else
    echo "bad archive: $(basename "$gz")"
  fi
done
echo "rotation archives checked with gzip -t: $ok of $total"
if [ "$total" -eq 0 ]; then echo "the rotation test copied out no archive"; exit 1; fi
if [ "$ok" -ne "$total" ]; then echo "$((total - ok)) of $total archives are bad"; exit 1; fi
echo "figure log-rotation-archives-gzip-t-checked: $total"
echo "figure log-rotation-archives-gzip-t-bad: 0"
