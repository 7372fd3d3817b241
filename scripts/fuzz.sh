#!/usr/bin/env bash
# Runs one libFuzzer harness for a given time: scripts/fuzz.sh (load|breakup) SECONDS [JOBS]
# Findings land in build-fuzz/findings-NAME/; turn each into a small file in tests/hostile/
# with its fix.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh (load|breakup) SECONDS [JOBS]}
seconds=${2:?usage: scripts/fuzz.sh (load|breakup) SECONDS [JOBS]}
jobs=${3:-1}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
corpus=build-fuzz/corpus-$name
findings=build-fuzz/findings-$name
mkdir -p "$corpus" "$findings"
case "$name" in
  load)
    harness=build-fuzz/bin/LoadFuzzer
    for kind in rgb progressive arithmetic grey cmyk ycck; do
      [ -f "$corpus/seed-$kind.jpg" ] || build-fuzz/bin/make-sample "$corpus/seed-$kind.jpg" 37 23 "$kind"
    done
    cp -n tests/hostile/*.jpg "$corpus"/ 2>/dev/null || true
    ;;
  breakup) harness=build-fuzz/bin/BreakupFuzzer ;;
  *) echo "unknown harness $name" >&2; exit 2 ;;
esac
parallel=()
# More than one job writes each job's log to fuzz-N.log in the current folder.
[ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs") && cd build-fuzz && harness=${harness#build-fuzz/} \
  && corpus=${corpus#build-fuzz/} && findings=${findings#build-fuzz/}
exec "$harness" "$corpus" -artifact_prefix="$findings/" -max_total_time="$seconds" \
  -rss_limit_mb=4096 -timeout=20 -max_len=65536 -print_final_stats=1 "${parallel[@]}"
