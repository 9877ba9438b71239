#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for SECONDS
# (default 60), two at a time, starting from the seed corpora that
# make_fuzz_seeds writes and the corpus earlier runs kept.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (targets: session ini ...)
#
# Per target it reports the executions and the findings; a finding (a crash,
# a sanitizer report, a broken property) leaves its input in
# build-fuzz/findings/<target>/ and makes the script exit 1. Rerun one with
#   build-fuzz/bin/<target>_fuzz build-fuzz/findings/<target>/crash-...
# Environment: FUZZ_BUILD_DIR (build-fuzz), FUZZ_PARALLEL (2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-build-fuzz}
parallel=${FUZZ_PARALLEL:-2}
all=(session ini settings_store record_file table_file tar sync_info ui_channel)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

if ! command -v clang++-16 >/dev/null; then
  scripts/install-deps.sh
fi
# Paths relative to the tree in ccache's keys, so that another clone of the
# same sources (CI's) finds this build's objects; -O1 with line tables only
# compiles faster and is what the sanitizers want.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
CC=clang-16 CXX=clang++-16 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" \
  -DZV_FUZZ=ON >/dev/null
cmake --build "$build" --target make_fuzz_seeds "${targets[@]/%/_fuzz}"

rm -rf "$build/seeds"
"$build/bin/make_fuzz_seeds" "$build/seeds"
mkdir -p "$build/corpus" "$build/findings" "$build/logs"
touch "$build/logs/.start"  # findings of earlier runs do not count again

run_one() {
  local t=$1
  local corpus="$build/corpus/$t" findings="$build/findings/$t" log="$build/logs/$t.log"
  mkdir -p "$corpus" "$findings" "$corpus.seeds"
  cp -n "$build/seeds/$t/"* "$corpus.seeds/" 2>/dev/null || true
  # The targets make their own scratch folders; libFuzzer writes a crashing
  # input where -artifact_prefix says.
  (cd "$findings" && "$root/$build/bin/${t}_fuzz" -max_total_time="$seconds" -timeout=25 \
     -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$root/$findings/" \
     "$root/$corpus" "$root/$corpus.seeds" >"$root/$log" 2>&1) || true
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

status=0
printf '%-16s %12s %8s %8s  %s\n' target executions exec/s corpus findings
for t in "${targets[@]}"; do
  log="$build/logs/$t.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(find "$build/corpus/$t" -type f | wc -l)
  found=$(find "$build/findings/$t" -maxdepth 1 -type f -newer "$build/logs/.start" \
          \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ -z "$runs" ]; then
    found="no stats: see $log"
    status=1
  elif [ "$found" -ne 0 ]; then
    status=1
  fi
  printf '%-16s %12s %8s %8s  %s\n' "$t" "${runs:--}" "${rate:--}" "$corpus" "$found"
done
exit $status
