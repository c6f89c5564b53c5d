#!/usr/bin/env bash
# The lab: a virtual LAN of real peers inside Linux network namespaces.
#
#   lab.sh up [--tag TAG] [--owner PID|parent] [--wide]  build a lab, print its env
#                                          file's path (--wide: also the /20 subnet C)
#   lab.sh down [--tag TAG | --all]        remove the labs brought up from this
#                                          session, or the one named (and every stale one)
#   lab.sh status                          list the labs on this machine
#   lab.sh check [--tag TAG] [--skip-missing]  assert the peers answer their own tools
#   lab.sh exec [--tag TAG] NAME CMD...    run CMD in the scanner namespace (NAME
#                                          scanner) or a host's (WIN1, printer, ...)
#
# Without --tag, check and exec use $ORDALEN_LAB_TAG, the lab of the env file in
# $ORDALEN_LAB_ENV, the lab brought up from this session, or the only lab there is.
#
# The topology is fixed in tests/lab/LAB.md. Nothing links to the machine's own
# namespace: the bridges live in a namespace of their own, no route leads out,
# there is no NAT. Every name carries the lab's tag; everything made is written
# to the lab's record (/run/ordalen-lab/TAG/record) before or right after it is
# made, and `down` removes exactly what the record lists. A lab is stale when its
# `up` died half-way, when its scanner namespace has gone, or when it was given an
# owner process (--owner PID, or `parent`: the caller of `up`, as ctest and the
# demo do) and that process has ended; the next `up` or `down` removes it. A lab
# without an owner stays until `down`.
#
# Exit codes: 0 done, 1 failure, 2 usage, 77 no lab possible here (no root or
# no network namespaces; ctest reports the lab tests as skipped).
set -uo pipefail

readonly SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly SOURCE_DIR=$(dirname "$SCRIPT_DIR")
readonly LAB_ROOT=${ORDALEN_LAB_ROOT:-/run/ordalen-lab}
readonly ETC_NETNS=/etc/netns
readonly PREFIX=olab
readonly PY=/usr/bin/python3

# --- topology (tests/lab/LAB.md) --------------------------------------------
readonly HOST_KEYS=(LINUX1 WIN1 WIN2 PRINTER TTL255 LINUX2 TTL255B)
declare -A H_IP=([LINUX1]=10.77.1.10 [WIN1]=10.77.1.20 [WIN2]=10.77.1.21 [PRINTER]=10.77.1.30
                 [TTL255]=10.77.1.40 [LINUX2]=10.77.2.10 [TTL255B]=10.77.2.40)
declare -A H_MAC=([LINUX1]=02:77:01:00:00:10 [WIN1]=02:77:01:00:00:20 [WIN2]=02:77:01:00:00:21
                  [PRINTER]=02:77:01:00:00:30 [TTL255]=02:77:01:00:00:40
                  [LINUX2]=02:77:02:00:00:10 [TTL255B]=02:77:02:00:00:40)
declare -A H_TTL=([LINUX1]=64 [WIN1]=128 [WIN2]=128 [PRINTER]=64 [TTL255]=255 [LINUX2]=64 [TTL255B]=255)
declare -A H_NAME=([LINUX1]=linux1.lab.test [WIN1]=win1.lab.test [WIN2]= [PRINTER]=printer.lab.test
                   [TTL255]= [LINUX2]=linux2.lab.test [TTL255B]=)
declare -A H_BRIDGE=([LINUX1]=br-a [WIN1]=br-a [WIN2]=br-a [PRINTER]=br-a [TTL255]=br-a
                     [LINUX2]=br-b [TTL255B]=br-b)
readonly SUBNET_A=10.77.1.0/24 SUBNET_B=10.77.2.0/24
readonly SCANNER_IP_A=10.77.1.2 SCANNER_IP_B=10.77.2.2
readonly SCANNER_MAC_A=02:77:01:00:00:02 SCANNER_MAC_B=02:77:02:00:00:02
readonly SILENT_A=10.77.1.200 SILENT_B=10.77.2.200
readonly GHOST_IP=10.77.1.99 GHOST_MAC=02:77:01:00:00:99
readonly SNMP_COMMUNITY=labcomm SNMP_V3_USER=labmd5 SNMP_V3_PASS=labpass123 SNMP_V3_NOAUTH_USER=labnoauth
readonly SNMP_SYSDESCR="LabPrinter 9000 Series"
readonly SNMP_MARKER_OID=1.3.6.1.2.1.43.10.2.1.4.1.1 SNMP_MARKER=123456
readonly SNMP_MODEL_OID=1.3.6.1.2.1.25.3.2.1.3.1 SNMP_MODEL="LabPrinter 9000"
readonly SNMP_FW_OID=1.3.6.1.4.1.77777.1.1.0 SNMP_FW="FW 1.2.3"
readonly NB_WIN1_NAME=WIN-NMBD NB_WIN1_GROUP=LABGROUP NB_WIN2_NAME=WIN-RESP NB_WIN2_GROUP=LABWG
readonly WSMAN_USER=labadmin WSMAN_PASS=Lab-Pass-1 WSMAN_NAME=WIN-WSMAN WSMAN_PORT=5985
# Bounds of the readiness waits in `up` (seconds).
readonly READY_LIMIT=${ORDALEN_LAB_READY_LIMIT:-20}

# --- variant: a /20 subnet for discovery at scale (up --wide) ---------------
# Subnet C, 10.78.0.0/20 (4094 host addresses) on bridge br-c: the scanner's
# card eth-c and three kernel hosts spread over it (first, middle, last block);
# every other address is silent. Only `up --wide` builds it (tests/lab/LAB.md).
WIDE=0
readonly WIDE_KEYS=(WIDE1 WIDE2 WIDE3)
declare -A W_IP=([WIDE1]=10.78.0.10 [WIDE2]=10.78.8.20 [WIDE3]=10.78.15.250)
declare -A W_MAC=([WIDE1]=02:78:00:00:00:10 [WIDE2]=02:78:08:00:00:20 [WIDE3]=02:78:0f:00:02:50)
declare -A W_TTL=([WIDE1]=64 [WIDE2]=128 [WIDE3]=255)
readonly SUBNET_C=10.78.0.0/20 SCANNER_IP_C=10.78.0.2 SCANNER_MAC_C=02:78:00:00:00:02
readonly SILENT_C=10.78.9.9
wide_up() {  # under cmd_up, after the base lab's hosts
  local br=$1 scan=$2 k ns
  must ip -n "$br" link add br-c type bridge stp_state 0 forward_delay 0
  must ip -n "$br" link set br-c up
  must ip -n "$br" link add v-scan-c type veth peer name eth-c netns "$scan" address "$SCANNER_MAC_C"
  must ip -n "$br" link set v-scan-c master br-c up
  must ip -n "$scan" addr add "$SCANNER_IP_C/20" dev eth-c
  must ip -n "$scan" link set eth-c up
  for k in "${WIDE_KEYS[@]}"; do
    ns=$(ns_of "$TAG" "$k")
    make_ns "$ns" "${W_TTL[$k]}"
    must ip -n "$br" link add "v-$(lower "$k")" type veth peer name eth0 netns "$ns" address "${W_MAC[$k]}"
    must ip -n "$br" link set "v-$(lower "$k")" master br-c up
    must ip -n "$ns" addr add "${W_IP[$k]}/20" dev eth0
    must ip -n "$ns" link set eth0 up
  done
}
wide_env() {  # inside write_env
  local k
  envline LAB_WIDE "$WIDE"
  ((WIDE)) || return 0
  envline LAB_SUBNET_C "$SUBNET_C"
  envline LAB_SCANNER_IP_C "$SCANNER_IP_C"
  envline LAB_SCANNER_MAC_C "$SCANNER_MAC_C"
  envline LAB_SILENT_C "$SILENT_C"
  envline LAB_WIDE_HOSTS "${WIDE_KEYS[*]}"
  for k in "${WIDE_KEYS[@]}"; do
    envline "LAB_NS_$k" "$(ns_of "$TAG" "$k")"
    envline "LAB_IP_$k" "${W_IP[$k]}"
    envline "LAB_MAC_$k" "${W_MAC[$k]}"
    envline "LAB_TTL_$k" "${W_TTL[$k]}"
  done
}
wide_check() {  # inside the scanner namespace, from inside_check (which pings the wide hosts)
  if ping -n -c 1 -W 1 "$LAB_SILENT_C" >/dev/null 2>&1; then bad "silent $LAB_SILENT_C answered"; else ok "silent $LAB_SILENT_C: no answer"; fi
}

say() { printf 'lab: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }
usage() { sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }

lower() { printf '%s' "${1,,}"; }
ns_of() {  # ns_of TAG KEY
  case ${2^^} in
    BR) printf '%s-%s-br' "$PREFIX" "$1" ;;
    SCANNER) printf '%s-%s-scan' "$PREFIX" "$1" ;;
    *) printf '%s-%s-%s' "$PREFIX" "$1" "$(lower "$2")" ;;
  esac
}

# --- processes --------------------------------------------------------------
# The start time (clock ticks since boot) tells a process apart from a later one
# that was given the same PID.
proc_start() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # After the command name: field 1 is the state, field 20 the start time.
  set -- $stat
  [[ $1 != Z && $1 != X ]] || return 1
  printf '%s' "${20}"
}
proc_session() {  # the session id of a process
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  set -- $stat
  printf '%s' "$4"
}
proc_alive() {  # proc_alive PID START (a zombie counts as ended)
  [[ -n $1 && $1 =~ ^[0-9]+$ ]] || return 1
  local now
  now=$(proc_start "$1") || return 1
  [[ $now == "$2" ]]
}
# Ends one process by its PID: TERM, up to 3 s of waiting, then KILL.
end_process() {  # end_process PID START LABEL
  local pid=$1 start=$2 label=$3 i
  proc_alive "$pid" "$start" || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 30; i++)); do
    proc_alive "$pid" "$start" || return 0
    sleep 0.1
  done
  say "$label (pid $pid) did not end on TERM; killing it"
  kill -KILL "$pid" 2>/dev/null
  for ((i = 0; i < 20; i++)); do
    proc_alive "$pid" "$start" || return 0
    sleep 0.1
  done
  say "$label (pid $pid) is still there"
  return 1
}

# --- records ----------------------------------------------------------------
lab_dir() { printf '%s/%s' "$LAB_ROOT" "$1"; }
record_add() { printf '%s\n' "$2" >>"$(lab_dir "$1")/record"; }
record_field() {  # record_field TAG KIND -> the rest of every line of that kind
  local rec
  rec="$(lab_dir "$1")/record"
  [[ -f $rec ]] || return 0
  awk -v k="$2" '$1 == k { $1 = ""; sub(/^ /, ""); print }' "$rec"
}
# live: complete and its owner runs; building: `up` still runs; stale: neither.
lab_state() {
  local tag=$1 dir rec owner builder
  dir=$(lab_dir "$tag")
  rec="$dir/record"
  if [[ ! -f $rec ]]; then
    # A record is written right after the folder; an old folder without one
    # was left by a crash.
    if [[ -n $(find "$dir" -maxdepth 0 -mmin -1 2>/dev/null) ]]; then echo building; else echo stale; fi
    return
  fi
  if grep -qx complete "$rec"; then
    owner=$(record_field "$tag" owner)
    if [[ ! -e /run/netns/$(ns_of "$tag" scanner) ]]; then echo stale
    elif [[ -z $owner || $owner == none ]] || proc_alive $owner; then echo live
    else echo stale; fi
  else
    builder=$(record_field "$tag" builder)
    if proc_alive ${builder:-x 0}; then echo building; else echo stale; fi
  fi
}
list_tags() {
  local d
  for d in "$LAB_ROOT"/*/; do
    [[ -d $d ]] || continue
    d=${d%/}
    printf '%s\n' "${d##*/}"
  done
}

# Removes exactly what the lab's record lists.
teardown() {
  local tag=$1 dir line label pid start ns pids p failed=0
  dir=$(lab_dir "$tag")
  [[ -d $dir ]] || return 0
  exec 8>>"$dir/lock"
  flock -w 30 8 || { say "lab $tag: another process holds its lock"; return 1; }
  # Processes the lab started, newest first.
  while read -r label pid start; do
    [[ -n $label ]] || continue
    end_process "$pid" "$start" "$label" || failed=1
  done < <(record_field "$tag" proc | tac)
  # Whatever else still runs inside the lab's namespaces (a scan that hung, a
  # child of a peer) was started inside the lab too.
  while read -r ns; do
    [[ -n $ns && -e /run/netns/$ns ]] || continue
    pids=$(ip netns pids "$ns" 2>/dev/null)
    for p in $pids; do
      start=$(proc_start "$p") || continue
      say "ending $(cat "/proc/$p/comm" 2>/dev/null) (pid $p) left in $ns"
      end_process "$p" "$start" "process in $ns" || failed=1
    done
  done < <(record_field "$tag" ns)
  while read -r ns; do
    [[ -n $ns && -e /run/netns/$ns ]] || continue
    ip netns del "$ns" 2>/dev/null || { say "cannot remove namespace $ns"; failed=1; }
  done < <(record_field "$tag" ns | tac)
  while read -r ns; do
    [[ -n $ns && $ns == "$PREFIX"-* && -d $ETC_NETNS/$ns ]] || continue
    rm -f "$ETC_NETNS/$ns/hosts" "$ETC_NETNS/$ns/resolv.conf"
    rmdir "$ETC_NETNS/$ns" 2>/dev/null || { say "cannot remove $ETC_NETNS/$ns (not empty?)"; failed=1; }
  done < <(record_field "$tag" etc)
  exec 8>&-
  if ((failed)); then
    say "lab $tag: not everything could be removed; its record stays in $dir"
    return 1
  fi
  rm -rf "$dir"
  # /etc/netns goes too once empty, if a lab made it.
  if [[ -f $LAB_ROOT/.made-etc-netns ]] && rmdir "$ETC_NETNS" 2>/dev/null; then
    rm -f "$LAB_ROOT/.made-etc-netns"
  fi
  return 0
}

# Removes every stale lab, and the /etc/netns folders of labs whose record is
# gone (they outlive a reboot, /run does not).
sweep_stale() {
  local tag d name t
  for tag in $(list_tags); do
    if [[ $(lab_state "$tag") == stale ]]; then
      say "removing stale lab $tag"
      teardown "$tag" || true
    fi
  done
  for d in "$ETC_NETNS/$PREFIX"-*; do
    [[ -d $d ]] || continue
    name=${d##*/}
    t=${name#"$PREFIX"-}
    t=${t%%-*}
    [[ -d $(lab_dir "$t") || -e /run/netns/$name ]] && continue
    # Only folders holding nothing but the lab's own two files.
    if [[ -z $(find "$d" -mindepth 1 ! -name hosts ! -name resolv.conf -print -quit) ]]; then
      rm -f "$d/hosts" "$d/resolv.conf"
      rmdir "$d" 2>/dev/null && say "removed leftover $d" && rmdir "$ETC_NETNS" 2>/dev/null
    fi
  done
  return 0
}

with_root_lock() {  # with_root_lock CMD... : one sweeper or creator at a time
  mkdir -p "$LAB_ROOT"
  (
    flock -w 60 9 || die "cannot lock $LAB_ROOT/.lock"
    "$@"
  ) 9>>"$LAB_ROOT/.lock"
}

# --- up ---------------------------------------------------------------------
TAG=
UP_DIR=
must() {  # must CMD... : run, and on failure undo the lab and stop
  local err
  if ! err=$("$@" 2>&1); then
    say "failed: $*"
    [[ -n $err ]] && printf '%s\n' "$err" | sed 's/^/lab:   /' >&2
    abort_up
  fi
}
abort_up() {
  say "taking the half-built lab $TAG down"
  teardown "$TAG" || true
  exit 1
}
make_ns() {  # make_ns NAME TTL
  local ns=$1 ttl=$2
  record_add "$TAG" "ns $ns"
  record_add "$TAG" "etc $ns"
  [[ -d $ETC_NETNS ]] || { must mkdir -p "$ETC_NETNS"; touch "$LAB_ROOT/.made-etc-netns"; }
  must mkdir -p "$ETC_NETNS/$ns"
  # Name lookups fail at once and never leave the lab.
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$ETC_NETNS/$ns/resolv.conf"
  must ip netns add "$ns"
  must ip -n "$ns" link set lo up
  # No IPv6 chatter on the lab wires; the peers and the scanner speak IPv4.
  ip netns exec "$ns" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
    >/dev/null 2>&1 || true
  must ip netns exec "$ns" sysctl -q -w "net.ipv4.ip_default_ttl=$ttl"
}
# start_proc LABEL NS LOG CMD... : start a peer inside NS in a session of its own
# and record its PID (ip netns exec and setsid replace themselves by CMD).
start_proc() {
  local label=$1 ns=$2 log=$3 pid start
  shift 3
  ip netns exec "$ns" setsid "$@" >>"$log" 2>&1 </dev/null &
  pid=$!
  # The start time does not change across those execs.
  if ! start=$(proc_start "$pid"); then
    say "$label ended at once; its output:"
    sed 's/^/lab:   /' "$log" >&2
    abort_up
  fi
  record_add "$TAG" "proc $label $pid $start"
}

write_env() {
  local f=$1 k
  envline() {
    local v=$2
    if [[ $v =~ ^[A-Za-z0-9_./:,+@%=-]*$ ]]; then
      printf '%s=%s\n' "$1" "$v"
    else
      printf "%s='%s'\n" "$1" "${v//\'/\'\\\'\'}"
    fi
  }
  {
    echo "# Lab $TAG, made by scripts/lab.sh up; read by tests/support/lab.cpp."
    envline LAB_TAG "$TAG"
    envline LAB_STATE_DIR "$UP_DIR"
    envline LAB_NS_BRIDGE "$(ns_of "$TAG" br)"
    envline LAB_NS_SCANNER "$(ns_of "$TAG" scanner)"
    for k in "${HOST_KEYS[@]}"; do
      envline "LAB_NS_$k" "$(ns_of "$TAG" "$k")"
      envline "LAB_IP_$k" "${H_IP[$k]}"
      envline "LAB_MAC_$k" "${H_MAC[$k]}"
      envline "LAB_NAME_$k" "${H_NAME[$k]}"
      envline "LAB_TTL_$k" "${H_TTL[$k]}"
    done
    envline LAB_SCANNER_IP_A "$SCANNER_IP_A"
    envline LAB_SCANNER_IP_B "$SCANNER_IP_B"
    envline LAB_SCANNER_MAC_A "$SCANNER_MAC_A"
    envline LAB_SCANNER_MAC_B "$SCANNER_MAC_B"
    envline LAB_SUBNET_A "$SUBNET_A"
    envline LAB_SUBNET_B "$SUBNET_B"
    envline LAB_SILENT_A "$SILENT_A"
    envline LAB_SILENT_B "$SILENT_B"
    envline LAB_GHOST_IP "$GHOST_IP"
    envline LAB_GHOST_MAC "$GHOST_MAC"
    envline LAB_SNMP_COMMUNITY "$SNMP_COMMUNITY"
    envline LAB_SNMP_V3_USER "$SNMP_V3_USER"
    envline LAB_SNMP_V3_PASS "$SNMP_V3_PASS"
    envline LAB_SNMP_V3_NOAUTH_USER "$SNMP_V3_NOAUTH_USER"
    envline LAB_SNMP_SYSDESCR "$SNMP_SYSDESCR"
    envline LAB_SNMP_MARKER_OID "$SNMP_MARKER_OID"
    envline LAB_SNMP_MARKER "$SNMP_MARKER"
    envline LAB_SNMP_MODEL_OID "$SNMP_MODEL_OID"
    envline LAB_SNMP_MODEL "$SNMP_MODEL"
    envline LAB_SNMP_FW_OID "$SNMP_FW_OID"
    envline LAB_SNMP_FW "$SNMP_FW"
    envline LAB_NB_WIN1_NAME "$NB_WIN1_NAME"
    envline LAB_NB_WIN1_GROUP "$NB_WIN1_GROUP"
    envline LAB_NB_WIN2_NAME "$NB_WIN2_NAME"
    envline LAB_NB_WIN2_GROUP "$NB_WIN2_GROUP"
    envline LAB_NB_WIN2_LOG "$UP_DIR/win2/nb_responder.log"
    envline LAB_WSMAN_USER "$WSMAN_USER"
    envline LAB_WSMAN_PASS "$WSMAN_PASS"
    envline LAB_WSMAN_NAME "$WSMAN_NAME"
    envline LAB_WSMAN_LOG "$UP_DIR/win1/wsman.log"
    envline LAB_WSMAN_RUNNING "$WSMAN_RUNNING"
    wide_env
  } >"$f.tmp" && mv "$f.tmp" "$f"
}

write_snmpd_conf() {  # write_snmpd_conf DIR
  local d=$1
  mkdir -p "$d/persist"
  chmod 700 "$d/persist"
  cat >"$d/snmpd.conf" <<EOF
# Agent of the lab printer; nothing is read from the machine's own snmp folders.
[snmp] persistentDir $d/persist
agentaddress udp:${H_IP[PRINTER]}:161
sysdescr $SNMP_SYSDESCR
syscontact lab
syslocation lab
sysname printer
sysservices 72
dontLogTCPWrappersConnects yes
# The view a manager may read: system, interfaces, the IP group (address,
# route and ARP tables), the model and marker objects and the firmware.
view labview included .1.3.6.1.2.1.1
view labview included .1.3.6.1.2.1.2
view labview included .1.3.6.1.2.1.4
view labview included .$SNMP_MODEL_OID
view labview included .1.3.6.1.2.1.43
view labview included .1.3.6.1.4.1.77777
rocommunity $SNMP_COMMUNITY default -V labview
createUser $SNMP_V3_USER MD5 $SNMP_V3_PASS
createUser $SNMP_V3_NOAUTH_USER
rouser $SNMP_V3_USER auth -V labview
rouser $SNMP_V3_NOAUTH_USER noauth -V labview
override .$SNMP_MARKER_OID counter $SNMP_MARKER
override .$SNMP_MODEL_OID octet_str "$SNMP_MODEL"
override .$SNMP_FW_OID octet_str "$SNMP_FW"
EOF
}

write_smb_conf() {  # write_smb_conf DIR NAME GROUP IFACE_CIDR
  local d=$1 sub
  for sub in private lock state cache pid ncalrpc binddns nmbd log; do mkdir -p "$d/$sub"; done
  chmod 700 "$d/private"
  cat >"$d/smb.conf" <<EOF
[global]
  netbios name = $2
  workgroup = $3
  server role = standalone server
  interfaces = $4
  bind interfaces only = yes
  private dir = $d/private
  lock directory = $d/lock
  state directory = $d/state
  cache directory = $d/cache
  pid directory = $d/pid
  ncalrpc dir = $d/ncalrpc
  binddns dir = $d/binddns
  nmbd:socket dir = $d/nmbd
  log file = $d/log/nmbd.log
  max log size = 0
  local master = no
  preferred master = no
  domain master = no
  os level = 0
  wins support = no
  dns proxy = no
  name resolve order = bcast
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
EOF
}

preflight() {
  [[ $(id -u) -eq 0 ]] || { say "skipped: the lab needs root (network namespaces, veth pairs)"; exit 77; }
  command -v ip >/dev/null || { say "skipped: no 'ip' command (iproute2)"; exit 77; }
  if ! unshare --net true 2>/dev/null; then
    say "skipped: network namespaces are not available here"
    exit 77
  fi
  if ! unshare --net sh -c 'ip link add t0 type veth peer name t1 && ip link add tb type bridge' 2>/dev/null; then
    say "skipped: this kernel offers no veth pairs or bridges in a namespace"
    exit 77
  fi
  local tool missing=()
  for tool in snmpd nmbd snmpget snmpwalk nmblookup ping setsid flock "$PY"; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  ((${#missing[@]} == 0)) || die "missing tools: ${missing[*]} (run scripts/install-deps.sh)"
}

new_lab_record() {  # under the root lock: claim the tag and write the record
  local dir
  dir=$(lab_dir "$TAG")
  if [[ -d $dir ]]; then
    case $(lab_state "$TAG") in
      stale) say "removing stale lab $TAG"; teardown "$TAG" || die "cannot remove the stale lab $TAG" ;;
      *) die "lab $TAG is in use (scripts/lab.sh down --tag $TAG removes it)" ;;
    esac
  fi
  mkdir -p "$dir" || die "cannot create $dir"
  chmod 755 "$dir"
  {
    if [[ $OWNER == none ]]; then echo "owner none"; else echo "owner $OWNER $(proc_start "$OWNER")"; fi
    echo "builder $$ $(proc_start $$)"
    echo "session $(proc_session $$)"
  } >"$dir/record.tmp" && mv "$dir/record.tmp" "$dir/record"
}

wsman_listening() {  # wsman_listening TAG SECONDS
  local ns deadline=$((SECONDS + $2))
  ns=$(ns_of "$1" WIN1)
  while :; do
    [[ -n $(ip netns exec "$ns" ss -Hltn "sport = :$WSMAN_PORT" 2>/dev/null) ]] && return 0
    ((SECONDS >= deadline)) && return 1
    sleep 0.2
  done
}

cmd_up() {
  local owner_arg=
  while (($#)); do
    case $1 in
      --tag) TAG=${2:-}; shift 2 || usage ;;
      --owner) owner_arg=${2:-}; shift 2 || usage ;;
      --wide) WIDE=1; shift ;;
      *) usage ;;
    esac
  done
  preflight
  case ${owner_arg:-none} in
    none) OWNER=none ;;
    parent) OWNER=$PPID ;;
    *) OWNER=$owner_arg ;;
  esac
  if [[ $OWNER != none ]]; then
    [[ $OWNER =~ ^[0-9]+$ ]] && proc_start "$OWNER" >/dev/null || die "owner process '$OWNER' does not exist"
  fi
  if [[ -z $TAG ]]; then
    TAG=$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')
  fi
  [[ $TAG =~ ^[a-z0-9]{1,10}$ ]] || die "a tag is 1 to 10 lower-case letters or digits: '$TAG'"
  with_root_lock sweep_stale
  with_root_lock new_lab_record || exit 1
  UP_DIR=$(lab_dir "$TAG")
  trap 'say "interrupted"; abort_up' INT TERM HUP
  local t0=$SECONDS k ns br scan
  br=$(ns_of "$TAG" br)
  scan=$(ns_of "$TAG" scanner)

  # Bridge namespace with one bridge per subnet; no addresses, no routes.
  make_ns "$br" 64
  for k in br-a br-b; do
    must ip -n "$br" link add "$k" type bridge stp_state 0 forward_delay 0
    must ip -n "$br" link set "$k" up
  done
  # Scanner: one card on each subnet, no route beyond them.
  make_ns "$scan" 64
  printf '127.0.0.1 localhost\n' >"$ETC_NETNS/$scan/hosts"
  for k in "${HOST_KEYS[@]}"; do
    [[ -n ${H_NAME[$k]} ]] && printf '%s %s\n' "${H_IP[$k]}" "${H_NAME[$k]}" >>"$ETC_NETNS/$scan/hosts"
  done
  local side ip mac
  for side in a b; do
    if [[ $side == a ]]; then ip=$SCANNER_IP_A mac=$SCANNER_MAC_A; else ip=$SCANNER_IP_B mac=$SCANNER_MAC_B; fi
    must ip -n "$br" link add "v-scan-$side" type veth peer name "eth-$side" netns "$scan" address "$mac"
    must ip -n "$br" link set "v-scan-$side" master "br-$side" up
    must ip -n "$scan" addr add "$ip/24" dev "eth-$side"
    must ip -n "$scan" link set "eth-$side" up
  done
  # Hosts: one namespace each, card eth0 with its fixed MAC.
  for k in "${HOST_KEYS[@]}"; do
    ns=$(ns_of "$TAG" "$k")
    make_ns "$ns" "${H_TTL[$k]}"
    must ip -n "$br" link add "v-$(lower "$k")" type veth peer name eth0 netns "$ns" address "${H_MAC[$k]}"
    must ip -n "$br" link set "v-$(lower "$k")" master "${H_BRIDGE[$k]}" up
    must ip -n "$ns" addr add "${H_IP[$k]}/24" dev eth0
    must ip -n "$ns" link set eth0 up
  done
  # A neighbour that no host owns, so that hosts learned from the printer's
  # ARP table can be told from hosts that answer.
  must ip -n "$(ns_of "$TAG" PRINTER)" neigh add "$GHOST_IP" lladdr "$GHOST_MAC" dev eth0 nud permanent
  ((WIDE)) && wide_up "$br" "$scan"

  # Peers.
  local d
  for k in "${HOST_KEYS[@]}"; do mkdir -p "$UP_DIR/$(lower "$k")" "$UP_DIR/scanner"; done
  d=$UP_DIR/win1
  start_proc win1-tcp "$(ns_of "$TAG" WIN1)" "$d/tcp_listener.log" \
    "$PY" "$SCRIPT_DIR/lab/tcp_listener.py" --bind "${H_IP[WIN1]}" --port 3389 --port 135
  write_smb_conf "$d/samba" "$NB_WIN1_NAME" "$NB_WIN1_GROUP" "${H_IP[WIN1]}/24"
  start_proc win1-nmbd "$(ns_of "$TAG" WIN1)" "$d/nmbd.out" \
    nmbd --foreground --no-process-group --debug-stdout -d 1 \
    --configfile="$d/samba/smb.conf" --log-basename="$d/samba/log"
  WSMAN_RUNNING=0
  if [[ -f $SCRIPT_DIR/lab/wsman_server.py ]]; then
    start_proc win1-wsman "$(ns_of "$TAG" WIN1)" "$d/wsman.out" \
      "$PY" "$SCRIPT_DIR/lab/wsman_server.py" --bind "${H_IP[WIN1]}" --port "$WSMAN_PORT" \
      --user "$WSMAN_USER" --password "$WSMAN_PASS" --name "$WSMAN_NAME" --log "$d/wsman.log"
    WSMAN_RUNNING=1
  fi
  d=$UP_DIR/win2
  start_proc win2-tcp "$(ns_of "$TAG" WIN2)" "$d/tcp_listener.log" \
    "$PY" "$SCRIPT_DIR/lab/tcp_listener.py" --bind "${H_IP[WIN2]}" --port 3389
  start_proc win2-nbstat "$(ns_of "$TAG" WIN2)" "$d/nb_responder.out" \
    "$PY" "$SCRIPT_DIR/lab/nb_responder.py" --bind "${H_IP[WIN2]}" --name "$NB_WIN2_NAME" \
    --group "$NB_WIN2_GROUP" --log "$d/nb_responder.log"
  d=$UP_DIR/printer
  write_snmpd_conf "$d"
  start_proc printer-snmpd "$(ns_of "$TAG" PRINTER)" "$d/snmpd.out" \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin MIBS= MIBDIRS=/nonexistent SNMPCONFPATH="$d" SNMP_PERSISTENT_DIR="$d/persist" \
    snmpd -f -C -c "$d/snmpd.conf" -Lf "$d/snmpd.log" -p "$d/snmpd.pid"

  write_env "$UP_DIR/lab.env"
  # The peers answer before the lab is declared up.
  if ! ip netns exec "$scan" "$SCRIPT_DIR/lab.sh" _inside wait "$UP_DIR/lab.env"; then
    say "the peers did not come up within ${READY_LIMIT}s; logs are in $UP_DIR"
    abort_up
  fi
  # The WS-Management service logs every connection its tests look at, so the
  # lab only watches for its listening socket.
  if ((WSMAN_RUNNING)) && ! wsman_listening "$TAG" "$READY_LIMIT"; then
    say "the WS-Management service on WIN1 is not listening on $WSMAN_PORT; see $UP_DIR/win1/wsman.out"
    abort_up
  fi
  record_add "$TAG" complete
  trap - INT TERM HUP
  say "lab $TAG is up in $((SECONDS - t0))s (owner: $OWNER)"
  printf '%s\n' "$UP_DIR/lab.env"
}

# --- selecting a lab --------------------------------------------------------
select_lab() {  # sets TAG from --tag, ORDALEN_LAB_TAG, ORDALEN_LAB_ENV or the only lab
  if [[ -n $TAG ]]; then :
  elif [[ -n ${ORDALEN_LAB_TAG:-} ]]; then TAG=$ORDALEN_LAB_TAG
  elif [[ -n ${ORDALEN_LAB_ENV:-} && -f ${ORDALEN_LAB_ENV} ]]; then
    TAG=$(sed -n 's/^LAB_TAG=//p' "$ORDALEN_LAB_ENV")
  else
    local t found=() mine=()
    for t in $(list_tags); do
      grep -qsx complete "$(lab_dir "$t")/record" || continue
      found+=("$t")
      [[ $(record_field "$t" session) == "$(proc_session $$)" ]] && mine+=("$t")
    done
    if ((${#mine[@]} == 1)); then
      TAG=${mine[0]}
    else
      ((${#found[@]} > 0)) || die "no lab is up (scripts/lab.sh up)"
      ((${#found[@]} == 1)) || die "several labs are up (${found[*]}): choose one with --tag"
      TAG=${found[0]}
    fi
  fi
  [[ -f $(lab_dir "$TAG")/lab.env ]] || die "no lab with tag '$TAG' is up"
}

cmd_down() {
  local all=0
  while (($#)); do
    case $1 in
      --tag) TAG=${2:-}; shift 2 || usage ;;
      --all) all=1; shift ;;
      *) usage ;;
    esac
  done
  [[ $(id -u) -eq 0 ]] || { say "skipped: the lab needs root"; exit 77; }
  [[ -d $LAB_ROOT ]] || return 0
  with_root_lock sweep_stale
  local t rc=0
  if ((all)); then
    for t in $(list_tags); do teardown "$t" || rc=1; done
    return $rc
  fi
  if [[ -z $TAG && -n ${ORDALEN_LAB_TAG:-} ]]; then
    TAG=$ORDALEN_LAB_TAG
  elif [[ -z $TAG && -n ${ORDALEN_LAB_ENV:-} ]]; then
    [[ -f $ORDALEN_LAB_ENV ]] || return 0
    TAG=$(sed -n 's/^LAB_TAG=//p' "$ORDALEN_LAB_ENV")
  elif [[ -z $TAG ]]; then
    # Without a name: the labs brought up from this session (this shell, this
    # script, this terminal). Other labs may be somebody else's and stay.
    local session others=()
    session=$(proc_session $$)
    for t in $(list_tags); do
      if [[ $(record_field "$t" session) == "$session" ]]; then
        teardown "$t" && say "lab $t is down" || rc=1
      else
        others+=("$t")
      fi
    done
    ((${#others[@]} == 0)) || say "left alone (not brought up from this session): ${others[*]}; name one with --tag"
    return $rc
  fi
  [[ -n $TAG && -d $(lab_dir "$TAG") ]] || return 0
  teardown "$TAG" && say "lab $TAG is down"
}

cmd_status() {
  local t n=0 state label pid start ns
  for t in $(list_tags); do
    n=$((n + 1))
    state=$(lab_state "$t")
    echo "lab $t: $state (record $(lab_dir "$t")/record)"
    [[ -f $(lab_dir "$t")/lab.env ]] && echo "  env file $(lab_dir "$t")/lab.env"
    while read -r ns; do
      [[ -n $ns ]] || continue
      if [[ -e /run/netns/$ns ]]; then echo "  namespace $ns"; else echo "  namespace $ns (gone)"; fi
    done < <(record_field "$t" ns)
    while read -r label pid start; do
      [[ -n $label ]] || continue
      if proc_alive "$pid" "$start"; then echo "  $label pid $pid running"; else echo "  $label pid $pid NOT running"; fi
    done < <(record_field "$t" proc)
  done
  ((n)) || echo "no lab"
  local orphans
  orphans=$(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$PREFIX-" | while read -r ns; do
    t=${ns#"$PREFIX"-}; t=${t%%-*}; [[ -d $(lab_dir "$t") ]] || echo "$ns"; done)
  [[ -n $orphans ]] && echo "namespaces without a record: $(echo $orphans)"
  return 0
}

cmd_exec() {
  while [[ ${1:-} == --tag ]]; do TAG=${2:-}; shift 2 || usage; done
  (($# >= 2)) || usage
  select_lab
  local name=${1^^} ns
  shift
  case $name in
    SCANNER|BR) ;;
    *) [[ -n ${H_IP[$name]:-} || -n ${W_IP[$name]:-} ]] ||
         die "unknown lab host '$name' (scanner, br, ${HOST_KEYS[*]}, with --wide ${WIDE_KEYS[*]})" ;;
  esac
  ns=$(ns_of "$TAG" "$name")
  [[ -e /run/netns/$ns ]] || die "namespace $ns does not exist"
  exec ip netns exec "$ns" "$@"
}

cmd_check() {
  local skip_missing=0
  while (($#)); do
    case $1 in
      --tag) TAG=${2:-}; shift 2 || usage ;;
      --skip-missing) skip_missing=1; shift ;;
      *) usage ;;
    esac
  done
  [[ $(id -u) -eq 0 ]] || { say "skipped: the lab needs root"; exit 77; }
  if ((skip_missing)) && [[ -n $TAG && ! -f $(lab_dir "$TAG")/lab.env ]]; then
    say "skipped: there is no lab $TAG (lab.sh up could not build one here)"
    exit 77
  fi
  select_lab
  local scan
  scan=$(ns_of "$TAG" scanner)
  [[ -e /run/netns/$scan ]] || die "the scanner namespace $scan is gone"
  local label pid start dead=0
  while read -r label pid start; do
    [[ -n $label ]] || continue
    if ! proc_alive "$pid" "$start"; then
      printf 'FAIL  %s (pid %s) is not running\n' "$label" "$pid"
      dead=1
    fi
  done < <(record_field "$TAG" proc)
  if grep -qx 'LAB_WSMAN_RUNNING=1' "$(lab_dir "$TAG")/lab.env"; then
    if wsman_listening "$TAG" 0; then
      printf 'ok    WIN1 WS-Management service listens on %s\n' "$WSMAN_PORT"
    else
      printf 'FAIL  WIN1 WS-Management service does not listen on %s\n' "$WSMAN_PORT"
      dead=1
    fi
  fi
  ip netns exec "$scan" "$SCRIPT_DIR/lab.sh" _inside check "$(lab_dir "$TAG")/lab.env" && ((dead == 0))
}

# --- run inside the scanner namespace ----------------------------------------
# The tools the peers answer to, with their own configuration kept in the lab's
# state folder (no files of the machine's own snmp or samba set-up are read).
in_snmp() {
  env SNMPCONFPATH="$LAB_STATE_DIR/scanner/snmp" SNMP_PERSISTENT_DIR="$LAB_STATE_DIR/scanner/snmp" \
    MIBS= MIBDIRS=/nonexistent "$@"
}
nmb_conf() {
  local d=$LAB_STATE_DIR/scanner/samba
  if [[ ! -f $d/smb.conf ]]; then
    mkdir -p "$d/lock" "$d/state" "$d/cache" "$d/private" "$d/pid" "$d/nmbd"
    cat >"$d/smb.conf" <<EOF
[global]
  nmbd:socket dir = $d/nmbd
  lock directory = $d/lock
  state directory = $d/state
  cache directory = $d/cache
  private dir = $d/private
  pid directory = $d/pid
  name resolve order = bcast
EOF
  fi
  printf '%s' "$d/smb.conf"
}
nmb_status() { timeout 6 nmblookup -s "$(nmb_conf)" -A "$1" 2>&1; }
tcp_open() { timeout 2 bash -c "exec 3<>/dev/tcp/$1/$2" 2>/dev/null; }
snmp_v2c() { in_snmp snmpget -v2c -c "$LAB_SNMP_COMMUNITY" -t 1 -r 1 -On -Oqv "$LAB_IP_PRINTER" "$@" 2>&1; }

inside_wait() {
  local deadline=$((SECONDS + READY_LIMIT)) pending
  while :; do
    pending=()
    tcp_open "$LAB_IP_WIN1" 3389 || pending+=("WIN1 tcp 3389")
    tcp_open "$LAB_IP_WIN1" 135 || pending+=("WIN1 tcp 135")
    tcp_open "$LAB_IP_WIN2" 3389 || pending+=("WIN2 tcp 3389")
    in_snmp snmpget -v2c -c "$LAB_SNMP_COMMUNITY" -t 0.5 -r 0 "$LAB_IP_PRINTER" 1.3.6.1.2.1.1.1.0 \
      >/dev/null 2>&1 || pending+=("PRINTER snmpd")
    nmb_status "$LAB_IP_WIN1" | grep -q "$LAB_NB_WIN1_NAME *<00> -  *[BMH]  *<ACTIVE>" || pending+=("WIN1 nmbd")
    nmb_status "$LAB_IP_WIN2" | grep -q "$LAB_NB_WIN2_NAME *<00> -" || pending+=("WIN2 node-status responder")
    ((${#pending[@]} == 0)) && return 0
    if ((SECONDS >= deadline)); then
      printf 'lab: not answering: %s\n' "${pending[@]}" >&2
      return 1
    fi
    sleep 0.3
  done
}

CHECK_FAILS=0
ok() { printf 'ok    %s\n' "$*"; }
bad() { printf 'FAIL  %s\n' "$*"; CHECK_FAILS=$((CHECK_FAILS + 1)); }
expect() {  # expect DESCRIPTION GOT WANT
  if [[ $2 == "$3" ]]; then ok "$1: $2"; else bad "$1: got '$2', want '$3'"; fi
}

check_snmp() {
  local v out
  # SNMP v1 and v2c.
  for v in 1 2c; do
    out=$(in_snmp snmpget -v$v -c "$LAB_SNMP_COMMUNITY" -t 1 -r 1 -On -Oqv "$LAB_IP_PRINTER" 1.3.6.1.2.1.1.1.0 2>&1)
    expect "snmp v$v sysDescr" "${out//\"/}" "$LAB_SNMP_SYSDESCR"
  done
  out=$(snmp_v2c "$LAB_SNMP_MODEL_OID"); expect "snmp v2c model" "${out//\"/}" "$LAB_SNMP_MODEL"
  out=$(snmp_v2c "$LAB_SNMP_FW_OID"); expect "snmp v2c firmware" "${out//\"/}" "$LAB_SNMP_FW"
  out=$(in_snmp snmpget -v2c -c "$LAB_SNMP_COMMUNITY" -t 1 -r 1 -On "$LAB_IP_PRINTER" "$LAB_SNMP_MARKER_OID" 2>&1)
  expect "snmp v2c marker life count" "${out#* = }" "Counter32: $LAB_SNMP_MARKER"
  out=$(in_snmp snmpget -v1 -c wrong-community -t 0.5 -r 0 -On "$LAB_IP_PRINTER" 1.3.6.1.2.1.1.1.0 2>&1)
  [[ $out == *Timeout* ]] && ok "snmp wrong community: no answer" || bad "snmp wrong community: '$out'"
  # SNMPv3: HMAC-MD5 authNoPriv and noAuthNoPriv.
  out=$(in_snmp snmpget -v3 -l authNoPriv -u "$LAB_SNMP_V3_USER" -a MD5 -A "$LAB_SNMP_V3_PASS" -t 1 -r 1 \
        -On -Oqv "$LAB_IP_PRINTER" 1.3.6.1.2.1.1.1.0 2>&1)
  expect "snmp v3 $LAB_SNMP_V3_USER (MD5) sysDescr" "${out//\"/}" "$LAB_SNMP_SYSDESCR"
  out=$(in_snmp snmpget -v3 -l noAuthNoPriv -u "$LAB_SNMP_V3_NOAUTH_USER" -t 1 -r 1 \
        -On -Oqv "$LAB_IP_PRINTER" "$LAB_SNMP_MODEL_OID" 2>&1)
  expect "snmp v3 $LAB_SNMP_V3_NOAUTH_USER (noauth) model" "${out//\"/}" "$LAB_SNMP_MODEL"
  out=$(in_snmp snmpget -v3 -l authNoPriv -u "$LAB_SNMP_V3_USER" -a MD5 -A wrong-pass-phrase -t 1 -r 0 \
        -On "$LAB_IP_PRINTER" 1.3.6.1.2.1.1.1.0 2>&1)
  [[ $out == *"Authentication failure"* || $out == *"wrong digest"* || $out == *Timeout* ]] \
    && ok "snmp v3 wrong pass phrase refused" || bad "snmp v3 wrong pass phrase: '$out'"
  # Tables: ARP (with the static neighbour), addresses, routes.
  out=$(in_snmp snmpwalk -v2c -c "$LAB_SNMP_COMMUNITY" -t 1 -r 1 -On -Oq "$LAB_IP_PRINTER" 1.3.6.1.2.1.4.22.1.2 2>&1)
  local ghost_hex=${LAB_GHOST_MAC//:/ }
  if grep -Eq "^\.1\.3\.6\.1\.2\.1\.4\.22\.1\.2\.[0-9]+\.${LAB_GHOST_IP//./\\.} \"?${ghost_hex^^} ?\"?$" <<<"$out"; then
    ok "snmp ARP table lists $LAB_GHOST_IP $LAB_GHOST_MAC"
  else
    bad "snmp ARP table lacks $LAB_GHOST_IP: $(tr '\n' ';' <<<"$out")"
  fi
  out=$(in_snmp snmpwalk -v1 -c "$LAB_SNMP_COMMUNITY" -t 1 -r 1 -On -Oq "$LAB_IP_PRINTER" 1.3.6.1.2.1.4.20.1.3 2>&1)
  grep -q "^\.1\.3\.6\.1\.2\.1\.4\.20\.1\.3\.${LAB_IP_PRINTER//./\\.} 255\.255\.255\.0$" <<<"$out" \
    && ok "snmp address table lists $LAB_IP_PRINTER/24" || bad "snmp address table: $(tr '\n' ';' <<<"$out")"
  out=$(in_snmp snmpwalk -v1 -c "$LAB_SNMP_COMMUNITY" -t 1 -r 1 -On -Oq "$LAB_IP_PRINTER" 1.3.6.1.2.1.4.21.1.1 2>&1)
  grep -q "^\.1\.3\.6\.1\.2\.1\.4\.21\.1\.1\.10\.77\.1\.0 " <<<"$out" \
    && ok "snmp route table lists 10.77.1.0" || bad "snmp route table: $(tr '\n' ';' <<<"$out")"
}

inside_check() {
  local k ip out ttl mac
  # Only the two lab cards and loopback, no route out.
  out=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
  if [[ ${LAB_WIDE:-0} == 1 ]]; then
    expect "scanner cards" "$out" "eth-a eth-b eth-c lo "
    wide_check
  else
    expect "scanner cards" "$out" "eth-a eth-b lo "
  fi
  if ip route get 192.0.2.1 >/dev/null 2>&1; then bad "a route leads out of the lab"; else ok "no route out of the lab"; fi
  # Kernel hosts: echo with their TTL, ARP with their MAC.
  for k in LINUX1 WIN1 WIN2 PRINTER TTL255 LINUX2 TTL255B ${LAB_WIDE_HOSTS:-}; do
    ip=LAB_IP_$k
    ip=${!ip}
    ttl=LAB_TTL_$k
    out=$(ping -n -c 1 -W 2 "$ip" 2>&1)
    if [[ $out =~ ttl=([0-9]+) ]]; then
      expect "ping $k $ip ttl" "${BASH_REMATCH[1]}" "${!ttl}"
    else
      bad "ping $k $ip: no answer"
    fi
    mac=$(ip neigh show "$ip" | awk '{for (i = 1; i < NF; i++) if ($i == "lladdr") print $(i + 1)}')
    k=LAB_MAC_$k
    expect "arp $ip" "$mac" "${!k}"
  done
  local pids=() silent
  for silent in "$LAB_SILENT_A" "$LAB_SILENT_B" "$LAB_GHOST_IP"; do
    ping -n -c 1 -W 1 "$silent" >/dev/null 2>&1 &
    pids+=($!)
  done
  for k in 0 1 2; do
    silent=("$LAB_SILENT_A" "$LAB_SILENT_B" "$LAB_GHOST_IP")
    if wait "${pids[$k]}"; then bad "silent ${silent[$k]} answered"; else ok "silent ${silent[$k]}: no answer"; fi
  done
  # TCP listeners.
  tcp_open "$LAB_IP_WIN1" 3389 && ok "tcp WIN1 3389 open" || bad "tcp WIN1 3389 closed"
  tcp_open "$LAB_IP_WIN1" 135 && ok "tcp WIN1 135 open" || bad "tcp WIN1 135 closed"
  tcp_open "$LAB_IP_WIN2" 3389 && ok "tcp WIN2 3389 open" || bad "tcp WIN2 3389 closed"
  tcp_open "$LAB_IP_LINUX1" 3389 && bad "tcp LINUX1 3389 open" || ok "tcp LINUX1 3389 closed"
  # Name lookups: from the lab's hosts file, failing at once where none is.
  out=$(getent hosts "$LAB_IP_LINUX1" | awk '{print $2}')
  expect "reverse name $LAB_IP_LINUX1" "$out" "$LAB_NAME_LINUX1"
  local t0=$SECONDS
  out=$(timeout 5 getent hosts "$LAB_IP_WIN2")
  if [[ -z $out && $((SECONDS - t0)) -le 2 ]]; then ok "reverse name $LAB_IP_WIN2: none"; else bad "reverse name $LAB_IP_WIN2: '$out' after $((SECONDS - t0))s"; fi
  if in_snmp snmpget -v2c -c "$LAB_SNMP_COMMUNITY" -t 1 -r 2 "$LAB_IP_PRINTER" 1.3.6.1.2.1.1.1.0 >/dev/null 2>&1; then
    check_snmp
  else
    bad "snmpd on PRINTER $LAB_IP_PRINTER does not answer (log: $LAB_STATE_DIR/printer/snmpd.log)"
  fi
  # NetBIOS node status.
  out=$(nmb_status "$LAB_IP_WIN1")
  grep -q "^[[:space:]]*$LAB_NB_WIN1_NAME *<00> -  *[BMH]  *<ACTIVE>" <<<"$out" \
    && ok "nmbd WIN1 name $LAB_NB_WIN1_NAME" || bad "nmbd WIN1 name: $(tr '\n' ';' <<<"$out")"
  grep -q "^[[:space:]]*$LAB_NB_WIN1_GROUP *<00> - <GROUP>" <<<"$out" \
    && ok "nmbd WIN1 group $LAB_NB_WIN1_GROUP" || bad "nmbd WIN1 group: $(tr '\n' ';' <<<"$out")"
  out=$(nmb_status "$LAB_IP_WIN2")
  grep -q "^[[:space:]]*IS~$LAB_NB_WIN2_NAME *<00> -" <<<"$out" \
    && ok "responder WIN2 IS~ name" || bad "responder WIN2 IS~ name: $(tr '\n' ';' <<<"$out")"
  grep -q "^[[:space:]]*$LAB_NB_WIN2_NAME *<00> -  *[BMH]  *<ACTIVE>" <<<"$out" \
    && ok "responder WIN2 name $LAB_NB_WIN2_NAME" || bad "responder WIN2 name: $(tr '\n' ';' <<<"$out")"
  grep -q "^[[:space:]]*$LAB_NB_WIN2_GROUP *<00> - <GROUP>" <<<"$out" \
    && ok "responder WIN2 group $LAB_NB_WIN2_GROUP" || bad "responder WIN2 group: $(tr '\n' ';' <<<"$out")"
  mac=$(sed -n 's/.*MAC Address = \([0-9A-Fa-f-]*\).*/\1/p' <<<"$out")
  expect "responder WIN2 MAC" "${mac//-/:}" "${LAB_MAC_WIN2^^}"
  # Tests start from an empty neighbour table, not from what the checks left.
  ip neigh flush all >/dev/null 2>&1
  if ((CHECK_FAILS)); then
    printf "lab %s: %d check(s) failed; the peers' logs are in %s\n" "$LAB_TAG" "$CHECK_FAILS" "$LAB_STATE_DIR" >&2
    return 1
  fi
  printf 'lab %s: healthy\n' "$LAB_TAG"
}

cmd_inside() {  # _inside wait|check ENVFILE (run inside the scanner namespace)
  local what=$1 envfile=$2
  set -a
  # shellcheck disable=SC1090
  . "$envfile"
  set +a
  mkdir -p "$LAB_STATE_DIR/scanner/snmp"
  case $what in
    wait) inside_wait ;;
    check) inside_check ;;
    *) usage ;;
  esac
}

main() {
  (($#)) || usage
  local cmd=$1
  shift
  case $cmd in
    up) cmd_up "$@" ;;
    down) cmd_down "$@" ;;
    status) cmd_status "$@" ;;
    check) cmd_check "$@" ;;
    exec) cmd_exec "$@" ;;
    _inside) cmd_inside "$@" ;;
    -h|--help|help) usage ;;
    *) usage ;;
  esac
}

main "$@"
