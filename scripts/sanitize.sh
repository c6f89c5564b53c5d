#!/usr/bin/env bash
# The sanitizer runs of CI (make sanitize):
#
#  - AddressSanitizer + UndefinedBehaviorSanitizer: the whole build in
#    $ASAN_BUILD (default build-asan), then every unit test, e2e test and fuzz
#    replay again (ctest -L 'unit|e2e');
#  - ThreadSanitizer: in $TSAN_BUILD (default build-tsan) only the tests whose
#    code runs threads, those with the ctest label "threads" (tests/CMakeLists.txt
#    gives it), built (target ordalen_threads_tests) and run alone.
#
#   scripts/sanitize.sh [asan|tsan]...     (default: both)
#
# Warnings are errors. CMAKE_FLAGS adds to the configure step, JOBS sets the
# parallelism. Any sanitizer report fails the test it came from.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
CMAKE_FLAGS=${CMAKE_FLAGS:-}
ASAN_BUILD=${ASAN_BUILD:-build-asan}
TSAN_BUILD=${TSAN_BUILD:-build-tsan}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

configure() {  # configure DIR SANITIZER
  # shellcheck disable=SC2086
  cmake -S . -B "$1" -DORDALEN_SANITIZE="$2" -DORDALEN_WERROR=ON $CMAKE_FLAGS >/dev/null
}

run_asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer ($ASAN_BUILD)"
  configure "$ASAN_BUILD" address
  cmake --build "$ASAN_BUILD" -j "$JOBS"
  (cd "$ASAN_BUILD" && ctest --output-on-failure -j "$JOBS" -L 'unit|e2e')
}

run_tsan() {
  echo "== ThreadSanitizer ($TSAN_BUILD)"
  configure "$TSAN_BUILD" thread
  cmake --build "$TSAN_BUILD" -j "$JOBS" --target ordalen_threads_tests
  local listed
  listed=$(cd "$TSAN_BUILD" && ctest -N -L threads | sed -n 's/^Total Tests: //p')
  if [[ -z $listed || $listed -eq 0 ]]; then
    echo "sanitize: no test carries the label threads" >&2
    return 1
  fi
  (cd "$TSAN_BUILD" && ctest --output-on-failure -j "$JOBS" -L threads)
}

what=("$@")
((${#what[@]})) || what=(asan tsan)
for w in "${what[@]}"; do
  case $w in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "usage: $0 [asan|tsan]..." >&2; exit 2 ;;
  esac
done
