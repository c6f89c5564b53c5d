#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the lab need; only what
# is missing. Safe to run again. Needs root when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config libgtest-dev libgmock-dev
  libxml2-dev libsnmp-dev libkrb5-dev gss-ntlmssp
  clang libclang-rt-14-dev clang-format clang-tidy
  iproute2 iputils-ping procps util-linux nftables
  snmpd snmp samba samba-common-bin python3 python3-gssapi libxml2-utils
  # The Debian package (make package) and its checks (ctest -L package).
  dpkg-dev file lintian libcap2-bin strace man-db groff-base
)
# Extra tools for benchmarks only (make bench).
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(fping arp-scan nmap time)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root (sudo make ...) or install them with apt-get" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packaged services (snmpd, nmbd, smbd) must not start on the machine itself:
# the lab starts its own copies inside its namespaces.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  created_policy=1
fi
trap '[[ $created_policy == 1 ]] && rm -f "$policy"' EXIT
apt-get update -qq || true
apt-get install -y -qq --no-install-recommends "${missing[@]}"
