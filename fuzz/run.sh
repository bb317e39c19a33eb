#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one: first every seed
# and regression input once (each must pass), then fuzzing from the seeds for a bounded time.
#
#   QM_FUZZ_SECONDS  seconds of fuzzing per target (default 20)
#   QM_FUZZ_TARGETS  the targets to build and run (default: all of fuzz/)
#   QM_FUZZ_JOBS     parallel compile jobs (default 2)
#
# A property violation or a sanitizer report fails the script; the input that caused it is
# left in build-fuzz/artifacts/. New inputs the fuzzer finds go to build-fuzz/corpus/, never
# into the repository's corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${QM_FUZZ_SECONDS:-20}
# Every target is one file fuzz/fuzz_<name>.cpp (fuzz/CMakeLists.txt builds each).
all_targets=$(find fuzz -maxdepth 1 -name 'fuzz_*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort | tr '\n' ' ')
targets=${QM_FUZZ_TARGETS:-$all_targets}
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= \
  "-DCMAKE_CXX_FLAGS=-O1 -g" -DQM_FUZZ=ON -DQM_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j "${QM_FUZZ_JOBS:-2}"

summary=""
for t in $targets; do
  work="$build/corpus/$t"
  mkdir -p "$work" "$build/artifacts"
  options=(-timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 -artifact_prefix="$build/artifacts/$t-")
  if [ -f "fuzz/$t.dict" ]; then options+=(-dict="fuzz/$t.dict"); fi

  echo "== $t: seeds and regression inputs"
  inputs=()
  for dir in "fuzz/corpus/$t" "fuzz/regressions/$t"; do
    if [ -d "$dir" ]; then
      while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$dir" -type f -print0 | sort -z)
    fi
  done
  if [ ${#inputs[@]} -gt 0 ]; then
    "./$build/fuzz/$t" "${options[@]}" "${inputs[@]}" >"$build/$t.replay.log" 2>&1 || {
      grep -E "Running:|property violated|ERROR|SUMMARY" "$build/$t.replay.log" | tail -5
      echo "$t: a seed or regression input fails (log: $build/$t.replay.log)"
      exit 1
    }
    echo "${#inputs[@]} inputs pass"
  fi

  # From the seeds (and what earlier runs here found); the regression inputs were replayed
  # above, and some are large enough to slow every mutation of them.
  echo "== $t: fuzzing for $seconds s"
  "./$build/fuzz/$t" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    "$work" "fuzz/corpus/$t" >"$build/$t.fuzz.log" 2>&1 || {
    grep -E "property violated|ERROR|SUMMARY|Test unit written" "$build/$t.fuzz.log" | tail -5
    echo "$t: found a fault (log: $build/$t.fuzz.log)"
    exit 1
  }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$t.fuzz.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$build/$t.fuzz.log")
  summary+=$(printf '%-22s %10s runs %8s exec/s\n' "$t" "$runs" "$rate")$'\n'
done
echo "== fuzzing clean"
printf '%s' "$summary"
