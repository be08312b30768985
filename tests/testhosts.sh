#!/usr/bin/env bash
# testhosts.sh: test hosts on one network reach each other by name; taking
# some down leaves the rest and their network as they were, even where one
# host's name begins another's; the network goes with its last host.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

need_root "making test hosts"
testhosts=$SCRIPTS_DIR/testbed/testhosts
a=tz$$a b=tz$$a-b c=tz$$c
cleanup() { "$testhosts" down "$a" "$b" "$c"; }

# reaches FROM TO: a connection to a closed port of TO is refused, not lost.
reaches() {
  ip netns exec "$1" timeout 2 bash -c "exec 3<>/dev/tcp/$2/9" 2>&1 | grep -q 'Connection refused'
}

# Each row: a step, then the hosts that must be there, each reaching the
# others. A host taken down twice, as a cleanup may, is no other host.
rows=(
  "up $a $b $c|$a $b $c"
  "down $a|$b $c"
  "down $a|$b $c"
  "down $b $c|"
)
for row in "${rows[@]}"; do
  IFS='|' read -r step left <<<"$row"
  read -ra words <<<"$step"
  "$testhosts" "${words[@]}" || fail "testhosts $step"
  read -ra hosts <<<"$left"
  for host in "$a" "$b" "$c"; do
    if [[ " $left " == *" $host "* ]]; then
      [ -e "/run/netns/$host" ] || fail "after '$step', $host is gone"
    else
      [ ! -e "/run/netns/$host" ] || fail "after '$step', $host is still there"
    fi
  done
  for from in "${hosts[@]}"; do
    for to in "${hosts[@]}"; do
      [ "$from" = "$to" ] || reaches "$from" "$to" || fail "after '$step', $from does not reach $to"
    done
  done
done
[ ! -e "/run/netns/$a.net" ] || fail "the network outlives its hosts"
echo "${#rows[@]} steps: three hosts reach each other, one goes (twice), then the rest and their network"
