#!/usr/bin/env bash
# Runs every libFuzzer target (fuzz/*_fuzz.cpp) for a fixed time and reports, per
# target, the inputs executed and what was found.
#
#   scripts/fuzz.sh [--seconds N] [--merge] [TARGET...]
#
# Builds the clang fuzzing build in $FUZZ_BUILD (default build-fuzz). Each
# target starts from its saved corpus (fuzz/corpus/NAME) and the inputs that
# once broke it (fuzz/crashes/NAME) and works in a scratch corpus of its own, so
# the saved corpus is only changed by --merge, which adds the new inputs that
# reach code the saved ones did not. An input that breaks a target is kept in
# $FUZZ_BUILD/fuzz-work/NAME/findings/; copy it to fuzz/crashes/NAME/ with the fix.
# Every target runs in a throwaway network namespace (scripts/in-netns.sh).
# Exit code 1 when anything was found.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${FUZZ_BUILD:-build-fuzz}
JOBS=${JOBS:-$(nproc)}
seconds=${FUZZ_SECONDS:-60}
merge=0
targets=()
while (($#)); do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  for f in fuzz/*_fuzz.cpp; do
    f=${f##*/}
    targets+=("${f%_fuzz.cpp}")
  done
fi
cxx=$(command -v clang++-14 || command -v clang++) || { echo "fuzz: clang++ is needed" >&2; exit 2; }
cc=$(command -v clang-14 || command -v clang)
cmake -S . -B "$BUILD" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" -DORDALEN_FUZZ=ON \
  -DORDALEN_WERROR=ON >/dev/null || exit 2
cmake --build "$BUILD" -j "$JOBS" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null || exit 2

found=0
printf '%-16s %8s %12s %10s %9s  %s\n' target seconds execs execs/s corpus findings
for t in "${targets[@]}"; do
  work=$BUILD/fuzz-work/$t
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  mkdir -p "fuzz/corpus/$t"
  seeds=("fuzz/corpus/$t")
  [[ -d fuzz/crashes/$t ]] && seeds+=("fuzz/crashes/$t")
  scripts/in-netns.sh "$BUILD/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/findings/" \
    "$work/corpus" "${seeds[@]}" >"$work/log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  inputs=$(find "$work/corpus" -type f | wc -l)
  findings=$(find "$work/findings" -type f | wc -l)
  what="none"
  if ((findings > 0 || rc != 0)); then
    found=1
    what="$findings input(s) in $work/findings (log $work/log)"
  fi
  printf '%-16s %8s %12s %10s %9s  %s\n' "$t" "$seconds" "${execs:-?}" "${rate:-?}" "$inputs" "$what"
  if ((merge)); then
    scripts/in-netns.sh "$BUILD/fuzz/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$work/corpus" \
      >>"$work/log" 2>&1 || echo "fuzz: merge of $t failed (see $work/log)" >&2
  fi
done
exit $found
