#!/bin/sh
# The installed command (ordalen(8)): the program with the settings folder
# /etc/ordalen and the working folder /var/lib/ordalen, unless the environment
# names others. Run by root, the scan runs as the user ordalen with no
# privilege but CAP_NET_RAW, so that every file of the working folder stays
# the scheduled scan's.
program=/usr/lib/ordalen/ordalen
: "${ORDALEN_SETTINGS_DIR:=/etc/ordalen}"
: "${ORDALEN_WORK_DIR:=/var/lib/ordalen}"
export ORDALEN_SETTINGS_DIR ORDALEN_WORK_DIR

case "$#:${1:-}" in
  1:--help | 1:-h | 1:--version | 1:-V) exec "$program" "$@" ;;
  # ordalen@JOB.service, before its scan: the range of the job file must be
  # START-END. The program takes a range without a hyphen for none and sweeps
  # every local network; a job never does.
  2:--check-job | 3:--check-job)
    range=${3:-}
    case $range in
      [!-]*-?*) exit 0 ;;
    esac
    echo "ordalen: job $2: RANGE=\"$range\" in $ORDALEN_SETTINGS_DIR/jobs/$2.conf is not" \
      "START-END (two IPv4 addresses joined by a hyphen): nothing is scanned" >&2
    exit 2
    ;;
esac

if [ "$(id -u)" = 0 ] && [ "$ORDALEN_WORK_DIR" = /var/lib/ordalen ] &&
  id ordalen >/dev/null 2>&1; then
  exec setpriv --reuid=ordalen --regid=ordalen --init-groups \
    --inh-caps=-all,+net_raw --ambient-caps=-all,+net_raw \
    --bounding-set=-all,+net_raw -- "$program" "$@"
fi
if [ -d "$ORDALEN_WORK_DIR" ] && [ ! -w "$ORDALEN_WORK_DIR" ]; then
  echo "ordalen: $ORDALEN_WORK_DIR cannot be written by $(id -un): scan as root" \
    "(the scan then runs as the user ordalen), or in a folder of your own:" \
    "ORDALEN_WORK_DIR=DIR ordalen ..." >&2
  exit 2
fi
exec "$program" "$@"
