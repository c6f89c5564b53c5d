#!/usr/bin/env bash
# Runs a command in a throwaway network namespace that has only its loopback
# card (up), so whatever the command sends can never reach a real network.
# Used by ctest for every unit test. Where no namespace can be made (no root,
# no user namespaces), the command runs with ORDALEN_NO_NETNS=1 and tests that
# open sockets skip themselves.
set -u
if (($# == 0)); then
  echo "usage: in-netns.sh CMD [ARGS...]" >&2
  exit 2
fi
if [[ -n "${ORDALEN_IN_NETNS:-}" ]]; then
  exec "$@"
fi
inner='ip link set lo up 2>/dev/null || exit 111; export ORDALEN_IN_NETNS=1; exec "$@"'
if [[ $(id -u) -eq 0 ]]; then
  unshare --net -- bash -c "$inner" bash "$@"
else
  unshare --net --map-root-user -- bash -c "$inner" bash "$@"
fi
rc=$?
if ((rc == 111)) || { ((rc == 1)) && ! unshare --net --map-root-user true 2>/dev/null && [[ $(id -u) -ne 0 ]]; }; then
  ORDALEN_NO_NETNS=1 exec "$@"
fi
exit $rc
