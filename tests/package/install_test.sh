#!/usr/bin/env bash
# The package on this machine: installs it beside an administrator's
# dpkg-statoverrides (kept, and no capability set), removes it (dpkg -r: the
# data and the conffiles stay) and purges it (the timers an administrator
# enabled go, the override stays); installs it again (dpkg -i), checks the
# binary's capability, the units (systemd-analyze verify) and that a job
# without a range fails before its scan, scans the lab with the
# installed program as the scheduled scan runs it (the system user ordalen,
# CAP_NET_RAW only as an ambient capability, no new privileges, the file
# system read-only but for /var/lib/ordalen and /run/lock, a private /tmp, no
# home, only the address families the unit allows), then as root runs it
# through /usr/bin/ordalen, then purges the package and checks that nothing of
# it is left. The machine is restored on every path: the package is purged,
# the overrides and files the test added go, and a user or group the package
# made is removed, also when a check fails.
#
#   install_test.sh DIR LAB_ENV    DIR holds the one ordalen_*.deb
#
# Exit 77 (skipped) without root, dpkg, the lab, or when a package named
# ordalen is already installed here and no run of this test installed it (it
# is never touched). A run killed on the spot (ctest's time-out sends SIGKILL,
# which no trap sees) leaves a marker of what it changed; the next run undoes
# that first.
set -uo pipefail
export LC_ALL=C

skip() {
  echo "SKIP: $*"
  exit 77
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

[[ $(id -u) -eq 0 ]] || skip "installing a package needs root"
command -v dpkg >/dev/null || skip "not a Debian system"
debs=("$1"/ordalen_*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || { echo "FAIL: not exactly one ordalen_*.deb in $1"; exit 1; }
readonly DEB=${debs[0]}
readonly LAB_ENV=$2
[[ -f $LAB_ENV ]] || skip "no lab ($LAB_ENV)"
# shellcheck disable=SC1090
set -a && . "$LAB_ENV" && set +a
[[ -n ${LAB_NS_SCANNER:-} ]] || { echo "FAIL: $LAB_ENV names no scanner namespace"; exit 1; }

readonly PROGRAM=/usr/lib/ordalen/ordalen
readonly DATA=/var/lib/ordalen
readonly JOB=pkgtest
readonly RANGE=${LAB_IP_LINUX1}-${LAB_IP_PRINTER}
readonly UNITS=/etc/systemd/system
# What this run changed on the machine, kept up to date while it runs.
readonly MARKER=/run/ordalen-package-test.state

installed() { dpkg-query -W -f='${Status}\n' ordalen 2>/dev/null | grep -qv 'not-installed'; }

# What a run changed: whether the user and group ordalen were there before it,
# the dpkg-statoverrides it added, the files and folders it made outside the
# package, its working folder.
user_before=1 group_before=1 work=
test_overrides=() test_files=() test_dirs=()
save_marker() {
  {
    echo "user_before=$user_before"
    echo "group_before=$group_before"
    echo "work=$work"
    local item
    for item in "${test_overrides[@]}"; do echo "override=$item"; done
    for item in "${test_files[@]}"; do echo "file=$item"; done
    for item in "${test_dirs[@]}"; do echo "dir=$item"; done
  } >"$MARKER.new" && mv "$MARKER.new" "$MARKER"
}
load_marker() {
  local key value
  while IFS='=' read -r key value; do
    case $key in
      user_before) [[ $value == 0 ]] && user_before=0 ;;
      group_before) [[ $value == 0 ]] && group_before=0 ;;
      work) [[ $value == /tmp/tmp.* ]] && work=$value ;;
      override) test_overrides+=("$value") ;;
      file) test_files+=("$value") ;;
      dir) test_dirs+=("$value") ;;
    esac
  done <"$MARKER"
}
# The files and folders the run made outside the package (those that are left).
remove_test_files() {
  local item i
  for item in "${test_files[@]}"; do rm -f "$item"; done
  for ((i = ${#test_dirs[@]} - 1; i >= 0; i--)); do rmdir "${test_dirs[i]}" 2>/dev/null; done
}
# Puts the machine back as it was before the run: its files and folders go
# (first, so that the purge leaves no folder they kept, and again after it: a
# link postrm should have removed), the package is purged, the run's overrides
# go, and the user and group ordalen when they were not there before. The
# marker goes last.
undo() {
  local item log=/dev/null
  [[ -n $work && -d $work ]] && log=$work/dpkg.log
  remove_test_files
  if installed; then
    dpkg --purge ordalen >>"$log" 2>&1 || echo "restore: dpkg --purge failed" >&2
  fi
  remove_test_files
  for item in "${test_overrides[@]}"; do
    if dpkg-statoverride --list "$item" >/dev/null 2>&1; then dpkg-statoverride --remove "$item"; fi
  done
  if ((user_before == 0)) && getent passwd ordalen >/dev/null; then userdel ordalen; fi
  if ((group_before == 0)) && getent group ordalen >/dev/null; then groupdel ordalen; fi
  [[ -n $work ]] && rm -rf "$work"
  rm -f "$MARKER"
}

# One package test at a time on this machine.
exec 9>/run/lock/ordalen-package-test.lock
flock -w 600 9 || { echo "FAIL: another package test holds the machine"; exit 1; }
if [[ -f $MARKER ]]; then
  echo "a run of this test was killed before it could restore the machine ($MARKER):" \
    "undoing what it changed"
  cat "$MARKER"
  load_marker
  undo
  user_before=1 group_before=1 work=
  test_overrides=() test_files=() test_dirs=()
fi
if installed; then
  skip "a package ordalen is already on this machine: it is left alone"
fi

user_before=0 group_before=0
getent passwd ordalen >/dev/null && user_before=1
getent group ordalen >/dev/null && group_before=1
work=$(mktemp -d)
chmod 755 "$work"
save_marker

# Every path on the machine whose name holds "ordalen", outside the lab's own
# folder, this test's marker and the build and test folders.
snapshot() {
  find /etc /usr /lib /var /opt /run -xdev \( -path /run/ordalen-lab -o -path "$MARKER" \) -prune -o \
    -name '*ordalen*' -print 2>/dev/null | sort
}
snapshot >"$work/before"

# A scan in progress, ended before the package goes (timeout passes the
# signal on to it).
running=
bounded() {
  local limit=$1
  shift
  timeout "$limit" "$@" &
  running=$!
  wait "$running"
  local rc=$?
  running=
  return $rc
}

restore() {
  # Nothing may cut the restoring short.
  trap '' INT TERM HUP
  if [[ -n $running ]]; then
    kill -TERM "$running" 2>/dev/null
    wait "$running" 2>/dev/null
  fi
  undo
}
trap restore EXIT
trap 'exit 130' INT TERM HUP

step() { printf '== %s (%ds)\n' "$*" "$SECONDS"; }

step "install beside an administrator's overrides on the binary and accounts.csv"
test_overrides=("$PROGRAM" /etc/ordalen/accounts.csv)
save_marker
dpkg-statoverride --add root root 0755 "$PROGRAM"
dpkg-statoverride --add root root 0600 /etc/ordalen/accounts.csv
if ! dpkg -i "$DEB" >"$work/dpkg.log" 2>&1; then
  cat "$work/dpkg.log"
  echo "FAIL: dpkg -i"
  exit 1
fi
[[ -z $(getcap "$PROGRAM") ]] || fail "postinst set a capability on a binary an override names: $(getcap "$PROGRAM")"
grep -q "has a dpkg-statoverride: its capabilities are left alone" "$work/dpkg.log" ||
  fail "postinst does not say why the binary has no capability: $(cat "$work/dpkg.log")"
[[ $(stat -c '%U:%G %a' /etc/ordalen/accounts.csv) == "root:root 600" ]] ||
  fail "the administrator's override on accounts.csv was not kept: $(stat -c '%U:%G %a' /etc/ordalen/accounts.csv)"

step "installed disabled"
[[ ! -e $UNITS/timers.target.wants/ordalen.timer ]] || fail "the package enabled ordalen.timer"
wants=$(find "$UNITS" -name 'ordalen*' 2>/dev/null)
[[ -z $wants ]] || fail "the package enabled units: $wants"

step "dpkg -r keeps the data and the conffiles"
# Timers the administrator enabled (postrm removes their links on purge).
[[ -d $UNITS/timers.target.wants ]] || test_dirs+=("$UNITS/timers.target.wants")
enabled=("$UNITS/timers.target.wants/ordalen.timer" "$UNITS/timers.target.wants/ordalen@$JOB.timer")
test_files+=("${enabled[@]}")
save_marker
systemctl enable ordalen.timer "ordalen@$JOB.timer" >/dev/null 2>&1 ||
  fail "systemctl enable ordalen.timer ordalen@$JOB.timer"
for link in "${enabled[@]}"; do [[ -L $link ]] || fail "systemctl enable made no $link"; done
setpriv --reuid=ordalen --regid=ordalen --init-groups touch "$DATA/kept"
echo "; changed here" >>/etc/ordalen/config.ini
if ! dpkg -r ordalen >"$work/dpkg.log" 2>&1; then cat "$work/dpkg.log"; fail "dpkg -r"; fi
[[ $(dpkg-query -W -f='${Status}' ordalen 2>/dev/null) == "deinstall ok config-files" ]] ||
  fail "after dpkg -r the package is '$(dpkg-query -W -f='${Status}' ordalen 2>&1)'"
[[ ! -e $PROGRAM ]] || fail "$PROGRAM is left after dpkg -r"
[[ -f $DATA/kept ]] || fail "dpkg -r removed $DATA/kept"
while read -r conffile; do
  [[ -f $conffile ]] || fail "dpkg -r removed the conffile $conffile"
done <"$(dirname "$0")/conffiles.txt"
grep -q "^; changed here" /etc/ordalen/config.ini || fail "dpkg -r lost a change to config.ini"
[[ $(readlink "$UNITS/ordalen.timer") == /dev/null ]] ||
  fail "the removed package's timer is not masked as debhelper masks it"

step "purge after dpkg -r"
if ! dpkg --purge ordalen >"$work/dpkg.log" 2>&1; then cat "$work/dpkg.log"; fail "dpkg --purge"; fi
left=$(find "$UNITS" /var/lib/systemd -name '*ordalen*' 2>/dev/null)
[[ -z $left ]] || fail "unit links or state left after purge: $left"
[[ ! -e $DATA && ! -e /etc/ordalen ]] || fail "$DATA or /etc/ordalen is left after purge"
[[ $(dpkg-statoverride --list /etc/ordalen/accounts.csv) == "root root 600 /etc/ordalen/accounts.csv" ]] ||
  fail "purge removed the administrator's override on accounts.csv"
for path in "${test_overrides[@]}"; do dpkg-statoverride --remove "$path"; done
test_overrides=()
save_marker

step "install"
if ! dpkg -i "$DEB" >"$work/dpkg.log" 2>&1; then
  cat "$work/dpkg.log"
  echo "FAIL: dpkg -i"
  exit 1
fi
getent passwd ordalen >/dev/null || fail "postinst made no user ordalen"
caps=$(getcap "$PROGRAM")
echo "getcap: $caps"
[[ $caps == "$PROGRAM cap_net_raw=ep" ]] || fail "the binary lacks cap_net_raw+ep"
[[ $(stat -c '%U:%G %a' /etc/ordalen/accounts.csv) == "root:ordalen 640" ]] ||
  fail "accounts.csv is $(stat -c '%U:%G %a' /etc/ordalen/accounts.csv), not root:ordalen 640"
[[ $(stat -c '%U:%G %a' "$DATA") == "ordalen:ordalen 750" ]] ||
  fail "$DATA is $(stat -c '%U:%G %a' "$DATA"), not ordalen:ordalen 750"

step "systemd-analyze verify"
units=(ordalen.service ordalen.timer)
# A template is verified through an instance; its job file must exist.
mkdir -p "$work/units"
for u in ordalen@.service ordalen@.timer; do cp "/lib/systemd/system/$u" "$work/units/${u/@/@$JOB}"; done
# As nobody: the manual page check runs man, which as root would leave a cat
# page of ordalen(8) in /var/cache/man.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work")
verify=$(cd /lib/systemd/system && "${as_nobody[@]}" systemd-analyze verify --man=yes "${units[@]}" 2>&1;
  cd "$work/units" && "${as_nobody[@]}" systemd-analyze verify --man=yes \
    "./ordalen@$JOB.service" "./ordalen@$JOB.timer" 2>&1)
# The job file named by the template is the administrator's to write.
verify=$(grep -v "/etc/ordalen/jobs/$JOB.conf" <<<"$verify")
[[ -z $verify ]] || fail "systemd-analyze verify: $verify"

step "a job file without a range fails before the scan"
unit_check=$(grep '^ExecStartPre=' /lib/systemd/system/ordalen@.service)
# shellcheck disable=SC2016
[[ $unit_check == 'ExecStartPre=/usr/bin/ordalen --check-job %i ${RANGE}' ]] ||
  fail "ordalen@.service does not check the range first: $unit_check"
test_dirs+=(/etc/ordalen/jobs)
test_files+=(/etc/ordalen/jobs/pkgnorange.conf)
save_marker
mkdir -p /etc/ordalen/jobs
log=$DATA/OrdalenLog/ordalen.log
lines_of() { if [[ -f $1 ]]; then wc -l <"$1"; else echo 0; fi; }
# As systemd runs the check: the job file's RANGE as one argument (empty when
# the file has none), as the user ordalen; in the lab, should it scan after all.
for content in "RANGE=" "" "RANGE=$LAB_IP_PRINTER" "RANGE=-$LAB_IP_PRINTER" "RANGE=$RANGE"; do
  printf '%s\n' "$content" >/etc/ordalen/jobs/pkgnorange.conf
  log_lines=$(lines_of "$log")
  # shellcheck disable=SC2016
  checked=$(ip netns exec "$LAB_NS_SCANNER" setpriv --reuid=ordalen --regid=ordalen --init-groups \
    env -i PATH=/usr/bin:/bin ORDALEN_SETTINGS_DIR=/etc/ordalen ORDALEN_WORK_DIR=$DATA \
    sh -c 'set -a && . /etc/ordalen/jobs/pkgnorange.conf && exec /usr/bin/ordalen --check-job pkgnorange "${RANGE-}"' 2>&1)
  rc=$?
  if [[ $content == "RANGE=$RANGE" ]]; then
    ((rc == 0)) && [[ -z $checked ]] || fail "the range $RANGE is refused (exit $rc): $checked"
  else
    ((rc == 2)) && [[ $checked == *"pkgnorange.conf is not START-END"*"nothing is scanned"* ]] ||
      fail "job file '$content': exit $rc, not refused: $checked"
  fi
  (($(lines_of "$log") == log_lines)) || fail "job file '$content': the check wrote to the log"
done
# Gone before the purge, which leaves a folder that is not empty.
rm -f /etc/ordalen/jobs/pkgnorange.conf && rmdir /etc/ordalen/jobs

step "the file capability alone (any user)"
version=$(setpriv --reuid=nobody --regid=nogroup --clear-groups "$PROGRAM" --version)
grep -q "has cap_net_raw+ep" <<<"$version" || fail "--version does not see the capability: $version"
grep -q "CAP_NET_RAW in effect now: yes" <<<"$version" || fail "the capability is not in effect: $version"

step "the command for a user without the data folder"
help=$(setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/ordalen --help)
grep -q "): /etc/ordalen$" <<<"$help" && grep -q "): $DATA$" <<<"$help" ||
  fail "--help does not show the installed folders: $help"
# In the lab, should the command not refuse.
refused=$(ip netns exec "$LAB_NS_SCANNER" setpriv --reuid=nobody --regid=nogroup --clear-groups \
  /usr/bin/ordalen x "$LAB_SILENT_A-$LAB_SILENT_A" 2>&1)
rc=$?
((rc == 2)) && [[ $refused == *"ORDALEN_WORK_DIR=DIR"* ]] ||
  fail "a user who cannot write $DATA is not told so (exit $rc): $refused"

# The lab's community, and short SNMP waits (the lab is a LAN).
sed -i "s/^Community=.*/Community=$LAB_SNMP_COMMUNITY/" /etc/ordalen/config.ini
sed -i 's/^#timeout 1/timeout 1/; s/^#retries 1/retries 1/' /etc/ordalen/snmp/share/snmp/snmp.conf

step "a scan as the service runs it ($JOB $RANGE)"
# ProtectSystem=strict, ProtectHome, PrivateTmp, StateDirectory, ReadWritePaths
# as a mount namespace; User, AmbientCapabilities, CapabilityBoundingSet and
# NoNewPrivileges through setpriv; RestrictAddressFamilies checked on the
# sockets the scan opens.
cat >"$work/as-service.sh" <<EOF
set -e
# Opened before /tmp is covered: strace writes through it.
exec 3>$work/sockets
mount --make-rprivate /
for d in /usr /etc /var /opt /srv /boot /lib /bin /sbin /run; do
  [ -d "\$d" ] && [ ! -L "\$d" ] && mount -o bind,ro "\$d" "\$d"
done
mount --bind $DATA $DATA && mount -o remount,bind,rw $DATA
mount --bind /run/lock /run/lock && mount -o remount,bind,rw /run/lock
mount -t tmpfs -o mode=1777 tmpfs /tmp
for d in /home /root; do [ -d "\$d" ] && mount -t tmpfs -o mode=000 tmpfs "\$d"; done
cd /
exec strace -f -qq -e trace=socket -o /proc/self/fd/3 \
  setpriv --reuid=ordalen --regid=ordalen --init-groups \
    --inh-caps=-all,+net_raw --ambient-caps=-all,+net_raw --bounding-set=-all,+net_raw \
    --no-new-privs \
    env -i PATH=/usr/bin:/bin ORDALEN_SETTINGS_DIR=/etc/ordalen ORDALEN_WORK_DIR=$DATA \
    $PROGRAM $JOB $RANGE
EOF
started=$SECONDS
bounded 300 ip netns exec "$LAB_NS_SCANNER" unshare --mount --propagation private -- \
  sh "$work/as-service.sh" >"$work/scan.out" 2>"$work/scan.err"
rc=$?
echo "exit $rc after $((SECONDS - started)) s"
((rc == 0)) || { fail "the scan exited $rc"; cat "$work/scan.err"; }
results=("$DATA"/Ordalen/*_"$JOB".xml)
if [[ ! -f ${results[0]} ]]; then
  fail "no result file ${DATA}/Ordalen/*_$JOB.xml"
else
  result=${results[0]}
  [[ $(stat -c %U "$result") == ordalen ]] || fail "$result is not the user ordalen's"
  found=$(xmllint --xpath '//NODE/IPADDRESS/text()' "$result" 2>/dev/null | tr '\n' ' ')
  echo "hosts: $found"
  for key in LINUX1 WIN1 WIN2 PRINTER; do
    ip_var=LAB_IP_$key
    [[ " $found " == *" ${!ip_var} "* ]] || fail "$key (${!ip_var}) is not in the result"
  done
  # The packaged model table names the printer from the standard MIBs alone.
  model=$(xmllint --xpath "string(//NODE[IPADDRESS='$LAB_IP_PRINTER']/VARIABLE[@oid='model_name'])" "$result")
  [[ $model == "$LAB_SNMP_MODEL" ]] || fail "the printer's model_name is '$model', not '$LAB_SNMP_MODEL'"
fi
log=$DATA/OrdalenLog/ordalen.log
grep -q "|Folders: settings /etc/ordalen, work $DATA" "$log" || fail "the log does not name the folders"
grep -q "|$JOB|End-----------" "$log" || fail "the log has no end line"
# The packaged sample's settings are the ones in effect.
for line in "Config: WinPort=3389," "Config: Thread=256" "Config: UseARP=1" \
  "Config: Community=$LAB_SNMP_COMMUNITY"; do
  grep -q "|$line"$'\r'"\$" "$log" || fail "the log lacks '$line'"
done
families=$(grep -o 'socket(AF_[A-Z0-9]*' "$work/sockets" | sort -u | sed 's/socket(//' | tr '\n' ' ')
echo "address families: $families"
for family in $families; do
  case $family in
    AF_INET | AF_PACKET | AF_NETLINK | AF_UNIX) ;;
    *) fail "the scan opened an $family socket, which the unit does not allow" ;;
  esac
done
[[ $families == *AF_PACKET* && $families == *AF_INET* ]] || fail "no raw sweep sockets were opened"

step "a scan by root through /usr/bin/ordalen"
bounded 120 ip netns exec "$LAB_NS_SCANNER" /usr/bin/ordalen root "$LAB_IP_PRINTER-$LAB_IP_PRINTER" \
  >"$work/root.out" 2>&1 || fail "/usr/bin/ordalen as root exited $?"
[[ -f $(echo "$DATA"/Ordalen/*_root.xml) ]] || fail "no result of root's scan"
strays=$(find "$DATA" ! -user ordalen)
[[ -z $strays ]] || fail "files in $DATA not owned by ordalen: $strays"

step "purge"
dpkg --purge ordalen >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
snapshot >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
[[ -z $left ]] || fail "left after purge: $left"
[[ ! -e $DATA ]] || fail "$DATA is left after purge"
! dpkg-statoverride --list | grep -q ordalen || fail "a dpkg-statoverride is left after purge"
# The system user may stay, as Debian's packages leave theirs; restore() removes it.

step "done"
if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the installed package works and leaves nothing behind"
