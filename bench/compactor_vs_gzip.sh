#!/usr/bin/env bash
# Compactor.exe against Linux `gzip -6` on the same 10 MiB UTF-16 log.
# Compactor runs under Wine; its time is the one it measures itself (open of the input
# to the rename of the finished archive, COMPACTOR_REPORT_TIME=1), so Wine's process
# start-up is left out. gzip's time is the wall time of `gzip -6 -c`, start-up included.
# Each side runs 3 times; the best run counts. Also checks the archive with `gzip -t`.
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/wine-env.sh"
tool="$BUILD_DIR/tools/Compactor.exe"
work=$(mktemp -d /tmp/compactor_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

python3 - "$work/sample.log" <<'PY'
import random, sys
random.seed(42)
levels = ["[INFO ]", "[WARN]", "[ ERROR  ]", "[DEBUG]", "[ALW  ]"]
words = ["SMIPCTNG::Write", "SentrelCore::Start", "ExFilterDriver:Malware:StartPlugin",
         "WinServiceBase::OnStart", "ResourceMgr::AddWebFilterResource", "queue", "packet",
         "status", "plugin", "loaded", "failed", "GLE =", "size", "settings", "event"]
out, size, i = [], 0, 0
while size < 10 * 1024 * 1024:
    h, m, s, ms = (i // 3600000) % 24, (i // 60000) % 60, (i // 1000) % 60, i % 1000
    msg = " ".join(random.choice(words) for _ in range(random.randint(3, 12)))
    line = "05/12/26 %02d:%02d:%02d:%03d [P: 4120][T:%5d] %s - %s %d\r\n" % (
        h, m, s, ms, random.choice([4388, 4392, 5120, 612]), random.choice(levels), msg,
        random.randint(0, 1 << 20))
    out.append(line); size += 2 * len(line); i += 37
data = b"\xff\xfe" + "".join(out).encode("utf-16-le")
open(sys.argv[1], "wb").write(data[:10 * 1024 * 1024])
PY
bytes=$(stat -c %s "$work/sample.log")

best_gzip=""
for run in 1 2 3; do
  t0=$(date +%s.%N)
  gzip -6 -c < "$work/sample.log" > "$work/linux.gz"
  t1=$(date +%s.%N)
  t=$(python3 -c "print($t1 - $t0)")
  if [ -z "$best_gzip" ] || python3 -c "import sys; sys.exit(0 if $t < $best_gzip else 1)"; then best_gzip=$t; fi
done

best_tool=""
for run in 1 2 3; do
  rm -f "$work/tool.gz"
  cp "$work/sample.log" "$work/input.log"
  line=$(COMPACTOR_REPORT_TIME=1 WINEDEBUG=-all "$WINE64" "$tool" -compressfile \
           "Z:${work//\//\\}\\input.log" "Z:${work//\//\\}\\tool.gz" </dev/null | tr -d '\r')
  t=$(echo "$line" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
  [ -n "$t" ] || { echo "Compactor run failed: $line"; exit 1; }
  if [ -z "$best_tool" ] || python3 -c "import sys; sys.exit(0 if $t < $best_tool else 1)"; then best_tool=$t; fi
done

[ ! -e "$work/input.log" ] || { echo "Compactor left its input behind"; exit 1; }
gzip -t "$work/tool.gz" && echo "gzip -t: Compactor archive OK"
gzip -dc "$work/tool.gz" | cmp -s - "$work/sample.log" && echo "gzip -d: restores the input byte for byte"

size_tool=$(stat -c %s "$work/tool.gz")
size_gzip=$(stat -c %s "$work/linux.gz")
echo "input $bytes bytes; gzip -6 ${best_gzip}s -> $size_gzip bytes; Compactor ${best_tool}s -> $size_tool bytes"
python3 - "$best_tool" "$best_gzip" "$size_tool" "$size_gzip" <<'PY'
import sys
tool, gz, stool, sgz = map(float, sys.argv[1:])
print("goal compactor-throughput-vs-gzip: %.2f (target >= 0.8)" % (gz / tool))
print("goal compactor-size-vs-gzip: %.3f (target <= 1.02)" % (stool / sgz))
PY
