#!/usr/bin/env bash
# MIB-phase benchmark (make bench): wall time of the MIB phase in a lab of its
# own, library defaults, beside the floor its time-outs imply:
#   - one host that drops UDP 161 (an nftables rule), against model tables of
#     1, 8 and 30 entries: floor = walk 2 s (4 x 500 ms) + one library time-out
#     (6 s): the v2c and v3 GETs of the first entry wait side by side;
#   - one host with UDP 161 closed, 8 entries: floor 0 (refused at once);
#   - a switch with 30,000 objects ahead of 20 ARP rows of silent addresses,
#     2 ms an answer, Thread=64, identified by its model entry: floor = one
#     echo time-out (1 s) for the rows;
#   - the lab's own hosts, Thread=64, two-entry table (MIB phase only), and a
#     whole scan (ARP, ping, MIB, scan) of the range 10.77.1.1-10.77.1.254
#     under a job id, with the demo's settings at Thread=64 and its two-entry
#     model table;
# each with the peak memory of the process, and the hosts it ended with.
#
# Needs root (it brings up a lab of its own and takes it down at the end) and
# nftables. Everything that sends a packet runs inside the lab's namespaces;
# every command is bounded by a time limit.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-build}
[[ $BUILD = /* ]] || BUILD=$SRC/$BUILD
TOOL=$BUILD/ordalen_bench_mib
LAB=$SRC/scripts/lab.sh
LIMIT=600
BIG=10.77.1.131 DROP=10.77.1.132 CLOSED=10.77.1.133
FIRST=10.77.1.1 LAST=10.77.1.254  # subnet A of the lab (tests/lab/LAB.md)
JOB=bench

die() { echo "bench: $*" >&2; exit 1; }
[[ -x $TOOL && -x $BUILD/ordalen ]] || die "$TOOL or $BUILD/ordalen is missing: build first (make build)"
[[ $(id -u) -eq 0 ]] || die "needs root (network namespaces)"
command -v nft >/dev/null || die "nft is missing: scripts/install-deps.sh"

tag=bmib$$
work=$(mktemp -d)
env_file=$("$LAB" up --tag "$tag" --owner $$) || die "the lab did not come up"
trap '"$LAB" down --tag "$tag" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
# shellcheck disable=SC1090
. "$env_file"
host_ns=$LAB_NS_TTL255
for a in $BIG $DROP $CLOSED; do ip -n "$host_ns" addr add "$a/24" dev eth0; done
ip netns exec "$host_ns" nft -f - <<NFT
table ip ordalen_bench_drop {
  chain input { type filter hook input priority 0; policy accept; ip daddr $DROP udp dport 161 drop; }
}
NFT
# The switch: its own session, ended by the lab's teardown at the latest.
ip netns exec "$host_ns" timeout "$LIMIT" /usr/bin/python3 "$SRC/scripts/lab/hostile_snmp.py" \
  --bind $BIG --mode bigview --objects 30000 --arp-rows 20 --delay-ms 2 \
  --ready-file "$work/ready" --lifetime "$LIMIT" >"$work/agent.out" 2>&1 &
for ((i = 0; i < 100; i++)); do [[ -f $work/ready ]] && break; sleep 0.2; done
[[ -f $work/ready ]] || die "the big-view agent did not start"

inlab() { timeout "$LIMIT" "$LAB" exec --tag "$tag" scanner "$@"; }
printf '%-44s %8s %8s %9s %6s %8s %6s %7s\n' case "wall s" "floor s" "vs floor" hosts timeouts closed "RSS MB"
run() {  # run LABEL FLOOR THREADS ENTRIES COMMUNITY HOST...
  local label=$1 floor=$2 line
  shift 2
  line=$(inlab "$TOOL" "$1" "$2" "$3" "$FIRST" "$LAST" "${@:4}" 2>&1 >/dev/null | grep '^mib_s=') ||
    die "bench tool failed ($label)"
  declare -A f=()
  for kv in $line; do f[${kv%%=*}]=${kv#*=}; done
  printf '%-44s %8.2f %8.2f %9s %6s %8s %6s %7.1f\n' "$label" "${f[mib_s]}" "$floor" \
    "$(awk -v m="${f[mib_s]}" -v f="$floor" 'BEGIN { printf "%+.2f s", m - f }')" \
    "${f[hosts_after]}" "${f[timeouts]}" "${f[closed]}" \
    "$(awk -v k="${f[rss_kb]}" 'BEGIN { print k / 1024 }')"
}
for n in 1 8 30; do run "drops UDP 161, $n model entries" 8 12 "$n" "$LAB_SNMP_COMMUNITY" $DROP; done
run "UDP 161 closed, 8 model entries" 0 12 8 "$LAB_SNMP_COMMUNITY" $CLOSED
# Identified by its first entry through SNMPv1 (the agent speaks no SNMPv3).
run "30,000-object view, 20 ARP rows, Thread=64" 1 64 "=Hostile bigview" "$LAB_SNMP_COMMUNITY" $BIG
lab_hosts=("$LAB_SCANNER_IP_A" "$LAB_SCANNER_IP_B")
for k in LINUX1 WIN1 WIN2 PRINTER TTL255 LINUX2 TTL255B; do v=LAB_IP_$k; lab_hosts+=("${!v}"); done
run "the lab's hosts, Thread=64, 2 entries" 0 64 2 "$LAB_SNMP_COMMUNITY" "${lab_hosts[@]}"
echo "(hosts: records after the phase; timeouts: library time-outs logged;"
echo " closed: devices named as having port 161 closed)"
echo

# The extra hosts go first: the whole scan sees the lab as it is.
ip netns exec "$host_ns" nft delete table ip ordalen_bench_drop
for a in $BIG $DROP $CLOSED; do ip -n "$host_ns" addr del "$a/24" dev eth0; done
ip -n "$LAB_NS_SCANNER" neigh flush all

# A whole scan of subnet A under a job id, with the demo's settings at
# Thread=64 and its two-entry model table; the phases' banners are time-stamped
# as they come.
mkdir -p "$work/run"
cp "$BUILD/ordalen" "$SRC/demo/accounts.csv" "$SRC/demo/targetMIB.xml" "$work/run/"
sed 's/^Thread=[0-9]*/Thread=64/' "$SRC/demo/config.ini" >"$work/run/config.ini"
grep -q '^Thread=64\b' "$work/run/config.ini" || die "demo/config.ini has no Thread line"
(cd "$work/run" && inlab /usr/bin/time -f 'rss_kb=%M' ./ordalen "$JOB" "$FIRST-$LAST" 2>"$work/time.txt") |
  while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "${line%$'\r'}"; done >"$work/console.txt" || true
results=("$work"/run/Ordalen/*_"$JOB".xml)
[[ -f ${results[0]} ]] || die "the whole scan wrote no result file"
start=$(head -n 1 "$work/console.txt" | cut -d' ' -f1)
stamp() { grep -m1 " $1-------------------------\$" "$work/console.txt" | cut -d' ' -f1; }
end=$(tail -n 1 "$work/console.txt" | cut -d' ' -f1)
mib=$(stamp MIB) scan=$(stamp scan)
hosts=$(grep -o '<NODE>' "${results[0]}" | wc -l)
awk -v s="$start" -v m="$mib" -v c="$scan" -v e="$end" -v h="$hosts" -v r="$FIRST-$LAST" 'BEGIN {
  printf "whole lab scan, range %s, Thread=64, 2 entries: %d hosts, MIB phase %.2f s, scan %.2f s (first console line to last)\n", r, h, c - m, e - s }'
echo "peak memory of the scan: $(awk -F= '/rss_kb/ { printf "%.1f MB", $2 / 1024 }' "$work/time.txt")"
