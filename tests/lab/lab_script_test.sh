#!/usr/bin/env bash
# scripts/lab.sh beside a running lab (the one ctest brought up, in
# $ORDALEN_LAB_ENV): a second lab at the same time, a lab whose owner has gone,
# a lab whose `up` was killed half-way, and an untagged `down` from another
# session. Each must be removed completely, and the first lab must not notice.
set -uo pipefail

readonly LAB_SH=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lab.sh
readonly ROOT_DIR=/run/ordalen-lab

if [[ $(id -u) -ne 0 || -z ${ORDALEN_LAB_ENV:-} || ! -f ${ORDALEN_LAB_ENV:-} ]]; then
  echo "skipped: no lab (needs root and the lab_up fixture)"
  exit 77
fi
base=$(sed -n 's/^LAB_TAG=//p' "$ORDALEN_LAB_ENV")
second=${base}s stale=${base}o crashed=${base}k
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
cleanup() {
  local t
  for t in "$second" "$stale" "$crashed"; do "$LAB_SH" down --tag "$t" >/dev/null 2>&1; done
}
trap cleanup EXIT

# Everything a lab leaves on the machine, as one list: namespaces, /etc/netns
# folders, its record, and the processes its record names that still run.
traces() {  # traces TAG SAVED_RECORD
  local tag=$1 record=$2 label pid start
  ip netns list | awk '{print $1}' | grep -x -- "olab-$tag-.*"
  ls -d /etc/netns/olab-"$tag"-* 2>/dev/null
  [[ -e $ROOT_DIR/$tag ]] && echo "$ROOT_DIR/$tag"
  if [[ -f $record ]]; then
    while read -r _ label pid start; do
      [[ -n $pid ]] || continue
      local state now
      # After the command name: the state, then 19 fields to the start time.
      read -r state now < <(awk '{sub(/.*\) /, ""); print $1, $20}' "/proc/$pid/stat" 2>/dev/null)
      # An ended peer may wait a moment for its reaper (state Z); it runs no more.
      [[ $now == "$start" && $state != Z && $state != X ]] && echo "process $label $pid"
    done < <(grep '^proc ' "$record")
  fi
  return 0
}
expect_gone() {  # expect_gone TAG SAVED_RECORD WHAT
  local left
  left=$(traces "$1" "$2")
  if [[ -z $left ]]; then ok "$3: nothing of lab $1 is left"; else fail "$3: left behind: $(echo $left)"; fi
}

# 1. A second lab while the first one runs, with the /20 variant: both healthy.
if env_file=$("$LAB_SH" up --tag "$second" --owner $$ --wide 2>/dev/null); then
  ok "second lab $second is up ($env_file)"
else
  fail "second lab did not come up"
fi
"$LAB_SH" check --tag "$second" >/dev/null 2>&1 && ok "second lab healthy" || fail "second lab unhealthy"
"$LAB_SH" check --tag "$base" >/dev/null 2>&1 && ok "first lab healthy beside it" || fail "first lab unhealthy"

# 2. A lab whose owner has ended is stale; the next down removes it.
bash -c "'$LAB_SH' up --tag '$stale' --owner parent >/dev/null 2>&1; true"
stale_record=$(mktemp)
cp "$ROOT_DIR/$stale/record" "$stale_record" 2>/dev/null || fail "the owned lab $stale was not made"
status=$("$LAB_SH" status 2>/dev/null)
grep -qx "lab $stale: stale.*" <<<"$status" && ok "owner gone: $stale is stale" ||
  fail "owner gone, but $stale is not reported stale: $status"

# 3. An up killed half-way (its peers already started) is stale too.
"$LAB_SH" up --tag "$crashed" >/dev/null 2>&1 &
builder=$!
for ((i = 0; i < 250; i++)); do
  grep -qs '^proc win1-nmbd ' "$ROOT_DIR/$crashed/record" && break
  sleep 0.02
done
kill -KILL "$builder" 2>/dev/null
wait "$builder" 2>/dev/null
crashed_record=$(mktemp)
cp "$ROOT_DIR/$crashed/record" "$crashed_record" 2>/dev/null || fail "the killed up left no record"
if grep -qx complete "$crashed_record"; then
  fail "up finished before it could be killed; the crash case was not exercised"
else
  ok "up of $crashed killed half-way ($(grep -c '^proc ' "$crashed_record") peer(s) started)"
fi

# 4. An untagged down from another session removes none of those labs ...
env -u ORDALEN_LAB_ENV setsid "$LAB_SH" down >/dev/null 2>&1
[[ -f $ORDALEN_LAB_ENV ]] && ok "untagged down elsewhere left the first lab" || fail "untagged down removed the first lab"
[[ -d $ROOT_DIR/$second ]] && ok "untagged down elsewhere left the second lab" || fail "untagged down removed the second lab"
# ... but sweeps the stale ones.
expect_gone "$stale" "$stale_record" "owner gone"
expect_gone "$crashed" "$crashed_record" "up killed"

# 5. down removes the second lab completely.
second_record=$(mktemp)
cp "$ROOT_DIR/$second/record" "$second_record"
"$LAB_SH" down --tag "$second" >/dev/null 2>&1 || fail "down --tag $second failed"
expect_gone "$second" "$second_record" "down"
"$LAB_SH" check --tag "$base" >/dev/null 2>&1 && ok "first lab still healthy" || fail "first lab broken by the others"

rm -f "$stale_record" "$crashed_record" "$second_record"
if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"
