#!/usr/bin/env bash
# Discovery benchmark (make bench): wall time, CPU time and peak memory of the
# ARP and the ping phase over the lab /24 (subnet A, Thread=12, 64, 256) and
# over the lab's /20 variant (subnet C, 4094 addresses of which three answer,
# Thread=256, 1024, 4096), beside the floor their time-outs imply
# (ceil(silent addresses / threads) x time-out), and beside arp-scan,
# fping -r 0 -t 1000 and nmap -sn -n over the same subnets in the same run.
# BENCH_THREADS_24 and BENCH_THREADS_20 replace the thread counts.
#
# Needs root (it brings up a lab of its own, `lab.sh up --wide`, and takes it
# down at the end) and the bench tools (scripts/install-deps.sh --bench).
# Everything that sends a packet runs inside the lab's scanner namespace; every
# tool is bounded by a time limit.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-build}
[[ $BUILD = /* ]] || BUILD=$SRC/$BUILD
TOOL=$BUILD/ordalen_bench_discovery
LAB=$SRC/scripts/lab.sh
read -r -a THREADS_24 <<<"${BENCH_THREADS_24:-12 64 256}"
read -r -a THREADS_20 <<<"${BENCH_THREADS_20:-256 1024 4096}"
ARP_TIMEOUT=1.5   # 3 requests 500 ms apart
PING_TIMEOUT=1.0
LIMIT=600         # seconds, per measured command

die() { echo "bench: $*" >&2; exit 1; }
[[ -x $TOOL ]] || die "$TOOL is missing: build first (make build)"
[[ $(id -u) -eq 0 ]] || die "needs root (network namespaces)"
for t in arp-scan fping nmap /usr/bin/time; do
  command -v "$t" >/dev/null || die "$t is missing: scripts/install-deps.sh --bench"
done

tag=bench$$
env_file=$("$LAB" up --tag "$tag" --owner $$ --wide) || die "the lab did not come up"
times_file=$(mktemp)
trap '"$LAB" down --tag "$tag" >/dev/null 2>&1 || true; rm -f "$times_file"' EXIT
# shellcheck disable=SC1090
. "$env_file"

inlab() { timeout "$LIMIT" "$LAB" exec --tag "$tag" scanner "$@"; }
floor() {  # floor SILENT THREADS TIMEOUT
  awk -v s="$1" -v t="$2" -v o="$3" 'BEGIN { n = int((s + t - 1) / t); printf "%.2f", n * o }'
}
ratio() { awk -v m="$1" -v f="$2" 'BEGIN { if (f > 0) printf "%+.1f%%", (m / f - 1) * 100; else print "-" }'; }
add() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a + b }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
dotted() { printf '%d.%d.%d.%d' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)); }
hosts_of() {  # hosts_of A.B.C.D/N: its first and last host address
  local a b c d bits=${1#*/}
  IFS=. read -r a b c d <<<"${1%/*}"
  local mask=$(((0xFFFFFFFF << (32 - bits)) & 0xFFFFFFFF))
  local net=$(((a << 24 | b << 16 | c << 8 | d) & mask))
  echo "$(dotted $((net + 1))) $(dotted $((net + (~mask & 0xFFFFFFFF) - 1)))"
}

# Our two phases over one card's subnet, once per thread count.
sweeps() {  # sweeps CARD SUBNET THREADS...
  local card=$1 subnet=$2
  shift 2
  echo "ARP and ping phases over $subnet ($card)"
  printf '%-8s %-6s %8s %8s %9s %5s %6s %7s %8s %7s %7s\n' \
    phase Thread "wall s" "floor s" "vs floor" found "cpu s" "peak MB" wakeups filters threads
  local t line
  for t in "$@"; do
    line=$(inlab "$TOOL" "$card" "$t" 2>&1 >/dev/null | grep '^card=') || die "bench tool failed (Thread=$t)"
    local -A f=()
    for kv in $line; do f[${kv%%=*}]=${kv#*=}; done
    # Asked on the wire: every host address but our own; silent = asked - answered.
    local arp_floor ping_floor
    arp_floor=$(floor $((f[addresses] - f[arp_found])) "${f[threads]}" "$ARP_TIMEOUT")
    ping_floor=$(floor $((f[addresses] - f[ping_found])) "${f[threads]}" "$PING_TIMEOUT")
    printf '%-8s %-6s %8.2f %8s %9s %5s %6.2f %7s %8s %7s %7s\n' ARP "$t" "${f[arp_s]}" "$arp_floor" \
      "$(ratio "${f[arp_s]}" "$arp_floor")" $((f[arp_found] - 1)) "${f[arp_cpu_s]}" "" \
      "${f[arp_wakeups]}" "${f[arp_filters]}" "${f[arp_threads]}"
    printf '%-8s %-6s %8.2f %8s %9s %5s %6.2f %7s %8s %7s %7s\n' ping "$t" "${f[ping_s]}" "$ping_floor" \
      "$(ratio "${f[ping_s]}" "$ping_floor")" $((f[ping_found] - 1)) "${f[ping_cpu_s]}" "" \
      "${f[ping_wakeups]}" "${f[ping_filters]}" "${f[ping_threads]}"
    printf '%-8s %-6s %8.2f %8s %9s %5s %6.2f %7s\n' ARP+ping "$t" "$(add "${f[arp_s]}" "${f[ping_s]}")" \
      "$(add "$arp_floor" "$ping_floor")" "" "" "$(add "${f[arp_cpu_s]}" "${f[ping_cpu_s]}")" \
      "$(mb "${f[peak_kb]}")"
    echo "         wire: ARP sent ${f[arp_sent]} (retried ${f[arp_retries]}), received ${f[arp_received]} of ${f[arp_frames]} frames (unmatched ${f[arp_unmatched]}, dropped ${f[arp_dropped]}); ping sent ${f[ping_sent]} (retried ${f[ping_retries]}), received ${f[ping_received]} of ${f[ping_frames]} frames (unmatched ${f[ping_unmatched]}, dropped ${f[ping_dropped]})"
  done
  echo "(found: hosts other than the scanner itself; filters: our sockets with a kernel"
  echo " filter, each run once per frame the card receives; threads: threads started)"
  echo
}

# Other tools over the same subnet, each timed by time(1) inside the namespace.
run_tool() {  # run_tool LABEL COUNT-FILTER CMD...
  local label=$1 filter=$2
  shift 2
  local out wall user sys peak
  : >"$times_file"
  out=$(inlab /usr/bin/time -f '%e %U %S %M' -o "$times_file" "$@" 2>/dev/null || true)
  # time(1) puts "Command exited with non-zero status N" first when it did.
  read -r wall user sys peak < <(tail -n 1 "$times_file") || true
  printf '%-44s %8s %6s %7s %5s\n' "$label" "${wall:--}" "$(add "${user:-0}" "${sys:-0}")" \
    "$(mb "${peak:-0}")" "$(grep -cE "$filter" <<<"$out" || true)"
}
tools() {  # tools CARD SUBNET FIRST LAST [with-dns]
  local card=$1 subnet=$2 first=$3 last=$4
  echo "Other tools over $subnet ($card)"
  printf '%-44s %8s %6s %7s %5s\n' tool "wall s" "cpu s" "peak MB" found
  run_tool "arp-scan -I $card $subnet" '^[0-9]+\.' arp-scan -q -I "$card" "$subnet"
  run_tool "fping -r 0 -t 1000 -g $first $last" '^[0-9]+\.' fping -r 0 -t 1000 -a -q -g "$first" "$last"
  if [[ ${5:-} == with-dns ]]; then
    run_tool "nmap -sn $subnet" 'Host is up' nmap -sn "$subnet"
  fi
  # Without reverse DNS: the lab has no name server, and nmap's own resolver
  # spends most of a run with it waiting on one.
  run_tool "nmap -sn -n $subnet" 'Host is up' nmap -sn -n "$subnet"
  echo "(fping and nmap count the scanner itself; arp-scan does not)"
  echo
}

echo "Discovery benchmark: lab $tag, $(nproc) CPUs, kernel $(uname -r), load average $(load) at the start"
echo
sweeps eth-a "$LAB_SUBNET_A" "${THREADS_24[@]}"
# shellcheck disable=SC2046
tools eth-a "$LAB_SUBNET_A" $(hosts_of "$LAB_SUBNET_A") with-dns
sweeps eth-c "$LAB_SUBNET_C" "${THREADS_20[@]}"
# shellcheck disable=SC2046
tools eth-c "$LAB_SUBNET_C" $(hosts_of "$LAB_SUBNET_C")
echo "load average $(load) at the end"
