#!/usr/bin/env bash
# Discovery benchmark (make bench): wall time of the ARP and the ping phase over
# one lab /24 (subnet A) with Thread=12, 64 and 256, beside the floor their
# time-outs imply (ceil(silent addresses / threads) x time-out), and beside
# arp-scan, fping -r 0 -t 1000 and nmap -sn over the same subnet in the same run.
#
# Needs root (it brings up a lab of its own and takes it down at the end) and the
# bench tools (scripts/install-deps.sh --bench). Everything that sends a packet
# runs inside the lab's scanner namespace; every tool is bounded by a time limit.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-build}
[[ $BUILD = /* ]] || BUILD=$SRC/$BUILD
TOOL=$BUILD/ordalen_bench_discovery
LAB=$SRC/scripts/lab.sh
THREADS=(${BENCH_THREADS:-12 64 256})
ARP_TIMEOUT=1.5   # 3 requests 500 ms apart
PING_TIMEOUT=1.0
LIMIT=600         # seconds, per measured command

die() { echo "bench: $*" >&2; exit 1; }
[[ -x $TOOL ]] || die "$TOOL is missing: build first (make build)"
[[ $(id -u) -eq 0 ]] || die "needs root (network namespaces)"
for t in arp-scan fping nmap; do
  command -v "$t" >/dev/null || die "$t is missing: scripts/install-deps.sh --bench"
done

tag=bench$$
env_file=$("$LAB" up --tag "$tag" --owner $$) || die "the lab did not come up"
trap '"$LAB" down --tag "$tag" >/dev/null 2>&1 || true' EXIT
# shellcheck disable=SC1090
. "$env_file"
card=eth-a
subnet=$LAB_SUBNET_A
net=${subnet%/*}
first=${net%.*}.1
last=${net%.*}.254

inlab() { timeout "$LIMIT" "$LAB" exec --tag "$tag" scanner "$@"; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
floor() {  # floor SILENT THREADS TIMEOUT
  awk -v s="$1" -v t="$2" -v o="$3" 'BEGIN { n = int((s + t - 1) / t); printf "%.2f", n * o }'
}
ratio() { awk -v m="$1" -v f="$2" 'BEGIN { if (f > 0) printf "%+.1f%%", (m / f - 1) * 100; else print "-" }'; }

echo "Discovery benchmark: subnet $subnet on $card (lab $tag), $(nproc) CPUs, kernel $(uname -r)"
echo
printf '%-8s %-6s %9s %9s %8s %6s\n' phase Thread "wall s" "floor s" "vs floor" found
for t in "${THREADS[@]}"; do
  line=$(inlab "$TOOL" "$card" "$t" 2>&1 >/dev/null | grep '^card=') || die "bench tool failed (Thread=$t)"
  declare -A f=()
  for kv in $line; do f[${kv%%=*}]=${kv#*=}; done
  # Asked on the wire: every host address but our own; silent = asked - answered.
  arp_silent=$(( f[addresses] - f[arp_found] ))
  ping_silent=$(( f[addresses] - f[ping_found] ))
  arp_floor=$(floor "$arp_silent" "${f[threads]}" "$ARP_TIMEOUT")
  ping_floor=$(floor "$ping_silent" "${f[threads]}" "$PING_TIMEOUT")
  printf '%-8s %-6s %9.2f %9s %8s %6s\n' ARP "$t" "${f[arp_s]}" "$arp_floor" "$(ratio "${f[arp_s]}" "$arp_floor")" \
    "$(( f[arp_found] - 1 ))"
  printf '%-8s %-6s %9.2f %9s %8s %6s\n' ping "$t" "${f[ping_s]}" "$ping_floor" "$(ratio "${f[ping_s]}" "$ping_floor")" \
    "$(( f[ping_found] - 1 ))"
  printf '%-8s %-6s %9.2f\n' ARP+ping "$t" "$(awk -v a="${f[arp_s]}" -v b="${f[ping_s]}" 'BEGIN { print a + b }')"
  unset f
done
echo "(found: hosts other than the scanner itself)"
echo

printf '%-34s %9s %6s\n' "same subnet, other tools" "wall s" found
run_tool() {  # run_tool LABEL COUNT-FILTER CMD...
  local label=$1 filter=$2
  shift 2
  local start end out
  start=$(now)
  out=$(inlab "$@" 2>/dev/null || true)
  end=$(now)
  printf '%-34s %9s %6s\n' "$label" "$(elapsed "$start" "$end")" "$(grep -cE "$filter" <<<"$out" || true)"
}
run_tool "arp-scan -I $card $subnet" '^[0-9]+\.' arp-scan -q -I "$card" "$subnet"
run_tool "fping -r 0 -t 1000 -g $first $last" '^[0-9]+\.' fping -r 0 -t 1000 -a -q -g "$first" "$last"
run_tool "nmap -sn $subnet" 'Host is up' nmap -sn "$subnet"
# The same without reverse DNS: the lab has no name server, and nmap's own
# resolver spends most of the run above waiting on it.
run_tool "nmap -sn -n $subnet" 'Host is up' nmap -sn -n "$subnet"
echo "(fping and nmap count the scanner itself; arp-scan does not)"
