#!/usr/bin/env bash
# `make demo`: one real scan of the lab, start to finish.
#
# Installs what is missing, builds, brings the lab up (scripts/lab.sh), copies
# the program with the demo's config.ini, accounts.csv and targetMIB.xml into
# demo-run/, runs one scan there inside the lab's scanner namespace, shows the
# console output, the result file and a summary, and takes the lab down again
# (also when anything fails or the demo is interrupted).
#
# Environment: BUILD (build folder, default build), JOBS (parallel build jobs),
# CMAKE_FLAGS (extra flags for a fresh configuration), DEMO_SCAN_LIMIT (seconds
# the scan may take, default 150).
set -uo pipefail

readonly ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-build}
[[ $BUILD == /* ]] || BUILD=$ROOT/$BUILD
readonly BUILD
readonly JOBS=${JOBS:-$(nproc)}
readonly SCAN_LIMIT=${DEMO_SCAN_LIMIT:-150}
readonly RUN_DIR=$ROOT/demo-run
readonly PY=/usr/bin/python3

step() { printf '\n=== %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

if [[ $(id -u) -ne 0 ]]; then
  fail "the lab is made of network namespaces and needs root: run 'sudo make demo'"
fi

step "Dependencies"
"$ROOT/scripts/install-deps.sh" || fail "missing packages could not be installed"
echo "all installed"

step "Build ($BUILD)"
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  # shellcheck disable=SC2086
  cmake -S "$ROOT" -B "$BUILD" ${CMAKE_FLAGS:-} >/dev/null || fail "cmake could not configure $BUILD"
fi
cmake --build "$BUILD" -j "$JOBS" --target ordalen || fail "the build failed"

step "Lab"
TAG=
take_down() {
  local rc=$?
  trap - EXIT INT TERM HUP
  if [[ -n $TAG ]]; then
    step "Lab down"
    "$ROOT/scripts/lab.sh" down --tag "$TAG" || rc=1
  fi
  exit $rc
}
trap take_down EXIT
trap 'exit 130' INT TERM HUP
# The demo owns the lab: should it die without taking it down, the next lab.sh
# up or down removes it.
env_file=$("$ROOT/scripts/lab.sh" up --owner $$) || fail "the lab did not come up"
TAG=$(sed -n 's/^LAB_TAG=//p' "$env_file")
[[ -n $TAG ]] || fail "the lab's env file $env_file names no tag"
"$ROOT/scripts/lab.sh" check --tag "$TAG" >"$BUILD/demo-lab-check.txt" 2>&1 ||
  { cat "$BUILD/demo-lab-check.txt"; fail "the lab is not healthy"; }
echo "lab $TAG: healthy (every peer answered its own tools)"
cat <<EOF
  scanner    10.77.1.2/24 and 10.77.2.2/24
  LINUX1     10.77.1.10   Linux-like (TTL 64), named linux1.lab.test
  WIN1       10.77.1.20   Windows-like (TTL 128): RDP, RPC, nmbd, WS-Management
  WIN2       10.77.1.21   Windows-like (TTL 128): RDP, node-status answers as Windows
  PRINTER    10.77.1.30   SNMP agent (v1/v2c community labcomm, v3 users)
  TTL255     10.77.1.40   TTL 255
  LINUX2     10.77.2.10   Linux-like, named linux2.lab.test
  TTL255B    10.77.2.40   TTL 255
EOF

step "Scan (in the lab's scanner namespace, at most ${SCAN_LIMIT}s)"
rm -rf "$RUN_DIR"
mkdir -p "$RUN_DIR"
cp "$BUILD/ordalen" "$ROOT/demo/config.ini" "$ROOT/demo/accounts.csv" "$ROOT/demo/targetMIB.xml" "$RUN_DIR/" ||
  fail "cannot fill $RUN_DIR"
start=$SECONDS
(cd "$RUN_DIR" && timeout --kill-after=5 "$SCAN_LIMIT" "$ROOT/scripts/lab.sh" exec --tag "$TAG" scanner ./ordalen) \
  2>&1 | tr -d '\r' | tee "$RUN_DIR/console.txt"
scan_rc=${PIPESTATUS[0]}
echo "(exit code $scan_rc after $((SECONDS - start))s)"
case $scan_rc in
  0) ;;
  124|137) fail "the scan did not finish within ${SCAN_LIMIT}s" ;;
  2) echo "exit code 2: the scan wrote no result file" ;;
  *) fail "the scan failed with exit code $scan_rc" ;;
esac

step "Result file"
result=$(find "$RUN_DIR/Ordalen" -maxdepth 1 -name '*.xml' -type f 2>/dev/null | sort | tail -n 1)
if [[ -z $result ]]; then
  echo "none in $RUN_DIR/Ordalen"
else
  if command -v xmllint >/dev/null; then
    xmllint --format --encode UTF-8 "$result" || fail "the result file is not well-formed XML"
    summary_args=()
  else
    summary_args=(--pretty)
  fi
  step "Summary"
  "$PY" "$ROOT/scripts/lab/summarize_result.py" "$result" "${summary_args[@]}" || fail "cannot read $result"
fi
echo "Log: $RUN_DIR/OrdalenLog/ordalen.log"
exit 0
