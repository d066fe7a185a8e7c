#!/usr/bin/env bash
# Checks from Linux the archives that a real rotation produces: runs the logger's rotation
# test under Wine (1 MiB limit, real Compactor.exe), has it copy its .gz files out, then
# tests each with `gzip -t` and checks that it decompresses to UTF-16LE text with FF FE.
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/wine-env.sh"
work=$(mktemp -d /tmp/rotation_archives.XXXXXX)
trap 'rm -rf "$work"' EXIT

ARCHIVE_TEST_COPY_TO="Z:${work//\//\\}" "$WINE64" "$BUILD_DIR/tests/tests_log.exe" \
  --gtest_filter='MachineLogRotation.FullFilesBecomeGzipArchivesAndTheNewFileStartsWithBom' \
  </dev/null >"$work/test.out" 2>&1 || { cat "$work/test.out"; echo "rotation test failed"; }

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
echo "figure log-rotation-archives-gzip-t-checked: $total"
echo "figure log-rotation-archives-gzip-t-bad: $((total - ok))"
[ "$total" -gt 0 ] && [ "$ok" -eq "$total" ]
