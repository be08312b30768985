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

# Each row: a step, then what must be there: hosts, each reaching the others,
# and their network. A host taken down twice, as a cleanup may, is no other.
rows=(
  "up $a $b $c|$a $b $c $a.net"
  "down $a|$b $c $a.net"
  "down $a|$b $c $a.net"
  "down $b $c|"
)
for row in "${rows[@]}"; do
  IFS='|' read -r step left <<<"$row"
  read -ra words <<<"$step"
  "$testhosts" "${words[@]}" || fail "testhosts $step"
  there=$(find /run/netns -name "tz$$*" -printf '%f\n' | sort | paste -sd ' ')
  [ "$there" = "$(tr ' ' '\n' <<<"$left" | sort | paste -sd ' ')" ] || fail "after '$step': $there, not $left"
  for from in ${left% *}; do
    for to in ${left% *}; do
      [ "$from" = "$to" ] || reaches "$from" "$to" || fail "after '$step', $from does not reach $to"
    done
  done
done
echo "${#rows[@]} steps: three hosts reach each other, one goes (twice), then the rest and their network"
