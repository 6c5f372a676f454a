#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time, starting from the seed corpora
# in fuzz/corpus/ with the dictionaries in fuzz/dict/ (new inputs go to the build folder,
# never into the repository). Prints each
# target's executions per second and coverage, and fails on any finding (its reproducer is
# left in the build folder, named crash-*, leak-*, timeout-* or oom-*).
#   BUILD_DIR   build folder (default: build-fuzz)
#   FUZZ_TIME   seconds per target (default: 30)
#   FUZZ_ONLY   space-separated subset of the targets (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/deps.sh clang-14 libclang-rt-14-dev
BUILD_DIR=${BUILD_DIR:-build-fuzz}
FUZZ_TIME=${FUZZ_TIME:-30}
# shellcheck disable=SC2206
TARGETS=(${FUZZ_ONLY:-fuzz_ini fuzz_wire fuzz_sample_words fuzz_rig})

CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQMX_SANITIZE=ON -DQMX_FUZZ=ON -DQMX_BUILD_TESTS=OFF -DQMX_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target "${TARGETS[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
runs="$(cd "$BUILD_DIR" && pwd)/fuzz-runs"
mkdir -p "$runs"
# Whether libFuzzer left a reproducer in the folder.
has_findings() {
  local f
  for f in "$1"/crash-* "$1"/leak-* "$1"/timeout-* "$1"/oom-*; do
    [ -e "$f" ] && return 0
  done
  return 1
}
failed=()
summary=()
for t in "${TARGETS[@]}"; do
  work="$runs/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  log="$work/log.txt"
  echo "== $t: ${FUZZ_TIME} s"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="$ROOT/fuzz/dict/$t.dict")
  rc=0
  (cd "$work/findings" && "$runs/../fuzz/$t" -max_total_time="$FUZZ_TIME" -print_final_stats=1 \
      -timeout=10 -rss_limit_mb=2048 "${dict[@]}" "$work/corpus" "$ROOT/fuzz/corpus/$t") >"$log" 2>&1 || rc=$?
  # libFuzzer's last status line: "#N DONE cov: C ft: F corp: ... exec/s: E ..."
  last=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true)
  execs=$(grep -oE 'stat::average_exec_per_sec:[[:space:]]*[0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$' || true)
  total=$(grep -oE 'stat::number_of_executed_units:[[:space:]]*[0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$' || true)
  cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || true)
  ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || true)
  line=$(printf '%-18s exec/s %-7s runs %-9s cov %-6s ft %-6s' "$t" "${execs:-?}" "${total:-?}" "${cov:-?}" "${ft:-?}")
  if [ "$rc" -ne 0 ] || has_findings "$work/findings"; then
    failed+=("$t")
    line="$line FINDING (exit $rc): see $work"
    grep -E 'ERROR|runtime error|SUMMARY|Test unit written' "$log" | head -n 20 || true
  fi
  summary+=("$line")
  echo "$line"
done
echo
echo "Fuzz summary (${FUZZ_TIME} s per target, ASan+UBSan):"
printf '  %s\n' "${summary[@]}"
echo "fuzz: $((${#TARGETS[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
