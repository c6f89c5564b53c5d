#!/usr/bin/env bash
# The built package as Debian's tools see it: lintian with no error and no
# warning that is not overridden with a reason, the file list with its modes
# and owners, the conffiles, the dependencies, and the manual page without a
# warning from man or groff.
#
#   check_package.sh DIR    DIR holds the one ordalen_*.deb to check
set -uo pipefail
readonly HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

command -v dpkg-deb >/dev/null || { echo "SKIP: no dpkg-deb: not a Debian system"; exit 77; }
debs=("$1"/ordalen_*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
  echo "FAIL: not exactly one ordalen_*.deb in $1"
  exit 1
fi
readonly DEB=${debs[0]}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== files, modes, owners"
dpkg-deb -c "$DEB" | awk '{ print $1, $2, $6 }' | sort -k3 >"$work/contents"
diff -u "$HERE/contents.txt" "$work/contents" || fail "the file list differs from contents.txt"

echo "== conffiles"
dpkg-deb --ctrl-tarfile "$DEB" | tar -xOf - ./conffiles >"$work/conffiles"
diff -u "$HERE/conffiles.txt" "$work/conffiles" || fail "the conffiles differ from conffiles.txt"
# Every file under /etc is a conffile.
grep '^-' "$work/contents" | awk '{ print substr($3, 2) }' | grep '^/etc/' >"$work/etc-files"
diff -u "$work/etc-files" <(sort "$work/conffiles") || fail "a file in /etc is not a conffile"

echo "== dependencies"
depends=$(dpkg-deb -f "$DEB" Depends)
echo "$depends"
for wanted in adduser libcap2-bin libsnmp libxml2 libgssapi-krb5-2 libc6; do
  [[ $depends == *"$wanted"* ]] || fail "Depends lacks $wanted"
done

echo "== manual page"
dpkg-deb --fsys-tarfile "$DEB" | tar -xOf - ./usr/share/man/man8/ordalen.8.gz | gzip -dc >"$work/ordalen.8"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$work/ordalen.8" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man --warnings: $warnings"
warnings=$(groff -man -ww -z "$work/ordalen.8" 2>&1)
[[ -z $warnings ]] || fail "groff -ww: $warnings"

echo "== units (systemd-analyze verify)"
# The packaged units as systemd reads them, without root and without a running
# systemd: from a folder of their own, with the package's files unpacked beside
# them (so every command they name must exist and be executable) and a job
# file for the template's instance.
dpkg-deb -x "$DEB" "$work/root"
mkdir "$work/units" "$work/jobs"
echo "RANGE=192.0.2.1-192.0.2.9" >"$work/jobs/7.conf"
for unit in "$work"/root/lib/systemd/system/ordalen*; do
  name=$(basename "$unit")
  sed -e "s|/usr/lib/ordalen/ordalen|$work/root&|g; s|/usr/bin/ordalen|$work/root&|g" \
    -e "s|/etc/ordalen/jobs/|$work/jobs/|g" "$unit" >"$work/units/${name/@./@7.}"
done
units=(ordalen.service ordalen.timer ordalen@7.service ordalen@7.timer)
[[ $(cd "$work/units" && LC_ALL=C ls | tr '\n' ' ') == "${units[*]} " ]] ||
  fail "the package's units are not ${units[*]}"
# A warning (an unknown key, say) leaves the exit status 0: any output fails.
verify=$(cd "$work/units" && systemd-analyze verify --man=no "${units[@]/#/./}" 2>&1) ||
  fail "systemd-analyze verify exited $?"
[[ -z $verify ]] || fail "systemd-analyze verify: $verify"

echo "== lintian"
if ! command -v lintian >/dev/null; then
  fail "lintian is not installed (scripts/install-deps.sh installs it)"
else
  # As an ordinary user where there is one: lintian unpacks what it is given.
  cp "$DEB" "$work/" && chmod 755 "$work" && chmod 644 "$work/$(basename "$DEB")"
  runner=()
  [[ $(id -u) -eq 0 ]] && getent passwd nobody >/dev/null && runner=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work")
  # Overridden tags are shown (O:) with their reasons; any E: or W: fails.
  "${runner[@]}" lintian --pedantic --info --show-overrides "$work/$(basename "$DEB")" \
    >"$work/lintian" 2>&1
  rc=$?
  grep -v '^N:' "$work/lintian"
  ((rc == 0 || rc == 2)) || fail "lintian could not run (exit $rc)"
  ! grep -q '^[EW]: ' "$work/lintian" || fail "lintian reports errors or warnings"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the package passes"
