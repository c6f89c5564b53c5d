#!/usr/bin/env bash
# make lint: the tree's C++ style and checks, as CI runs them.
#
#  - clang-format (the project's .clang-format) in check mode over every C++
#    file the tree holds: product code, tests, fuzz targets;
#  - clang-tidy (the project's .clang-tidy, every finding an error) over the
#    product code (the layers' .cpp files; their headers through the
#    HeaderFilterRegex), with the compile_commands.json of $BUILD (default
#    build, configured here when it has none), $JOBS files at a time.
#
#   scripts/lint.sh [format|tidy]...     (default: both)
#
# Prints only findings; exits 1 when there is any.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
readonly LAYERS=(app base engine probes snmp output platform)

run_format() {
  echo "== clang-format"
  git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
}

run_tidy() {
  echo "== clang-tidy ($BUILD/compile_commands.json)"
  if [[ ! -f $BUILD/compile_commands.json ]]; then
    cmake -S . -B "$BUILD" >/dev/null
  fi
  local pathspecs=()
  for layer in "${LAYERS[@]}"; do pathspecs+=("$layer/*.cpp"); done
  # clang-tidy tells how many warnings it generated and suppressed even with
  # --quiet; only the findings themselves are shown.
  git ls-files -z -- "${pathspecs[@]}" |
    xargs -0 -n 2 -P "$JOBS" clang-tidy -p "$BUILD" --quiet --warnings-as-errors='*' \
      2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2)
}

what=("$@")
((${#what[@]})) || what=(format tidy)
status=0
for w in "${what[@]}"; do
  case $w in
    format) run_format || status=1 ;;
    tidy) run_tidy || status=1 ;;
    *) echo "usage: $0 [format|tidy]..." >&2; exit 2 ;;
  esac
done
if ((status)); then echo "lint: findings above" >&2; fi
exit "$status"
