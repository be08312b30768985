#!/usr/bin/env bash
# check.sh CHECKER NP COMMAND...: runs the job once, then the checker on its
# output and on corruptions of it, and with its own output unwritable.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

checker=$1 np=$2
shift 2
real=$work/real
launch_ok "$real" "$work/err" "$*" "$@"
# With equal shares of a growing x^2, the partial sums grow with the rank.
mapfile -t by_rank < <(grep -F "I'm here" "$real" | sort -g)
r3=${by_rank[3]} v1=${by_rank[1]%% *} v2=${by_rank[2]%% *} v3=${by_rank[3]%% *}

# What Open MPI 4.1 wrote on stderr in a job that ran right, given a network
# that no interface has (btl_tcp_if_include 192.0.2.0/24).
printf '%s\n' ---- 'WARNING: An invalid value was given for btl_tcp_if_include.  This' \
  'value will be ignored.' '' '  Local host: a' '  Value:      192.0.2.0/24' ---- >"$work/warned"

# corrupt HOW: the real output, made wrong (or odd) in one way.
corrupt() {
  case $1 in
    none) cat "$real" ;;
    drop-rank3) grep -vxF "$r3" "$real" ;;
    repeat-rank3) cat "$real" && echo "$r3" ;;
    wrong-value) sed "s/^$v3/0.5/" "$real" ;;
    fuse-ranks-1-2) sed "/^$v1 /d; s/^$v2/$v1&/" "$real" ;;
    drop-total) grep -vxF 0.333333 "$real" ;;
    wrong-total) sed 's/^0.333333$/0.333334/' "$real" ;;
    repeat-total) cat "$real" && echo 0.333333 ;;
    other-text) cat "$real" && echo hello ;;
    crlf) sed 's/$/\r/' "$real" ;;
    no-last-line-end) head -c -1 "$real" ;;
    flood) head -c 50000000 /dev/zero | tr '\0' a && echo && cat "$real" && yes | head -n 2000000 ;;
  esac
}

# Each row: exit status, arguments, the corruption, what stderr then stdout,
# joined, must match, and where stdout goes if not to a file (full, closed).
# The untouched output comes first, so that no row below fails for a broken
# checker.
rows=(
  "0|$np $real|none|^ok: $np of $np processes reported, total 0.333333 \$"
  "1|$np|drop-rank3|^rank 3: '$r3' 0 times, not 1 cause: lost-lines: the total came, .* of rank 3 are missing: the launcher lost them FAILED: 7 of $np"
  "1|$np|repeat-rank3|^rank 3: '$r3' 2 times, not 1 FAILED: $np of $np"
  "1|$np|wrong-value|^line [0-9]+: value 0.5 is no rank's rank 3: "
  "1|$np|fuse-ranks-1-2|^line [0-9]+: broken or fused line '$v1$v2 .* rank 1: .* rank 2: .* cause: mixed-lines: 1 line"
  "1|$np|drop-total|^total 0.333333 on a line of its own 0 times, not once cause: no-reduction: .* total missing"
  "1|$np|wrong-total|^line [0-9]+: total 0.333334, not 0.333333 total .* cause: wrong-sum: every rank's line is right, but the total is '0.333334'"
  "1|$np|repeat-total|^total 0.333333 on a line of its own 2 times"
  "1|$np|other-text|^line [0-9]+: other text 'hello' FAILED"
  "0|$np -|crlf|^ok: $np of $np"
  "0|$np|no-last-line-end|^ok: $np of $np"
  "0|$np - $work/warned|none|^ok: $np of $np processes reported, total 0.333333 \$"
  "1|$np - $work/warned|drop-total|^total .* stderr line 2: 'WARNING: An invalid value .* cause: no-reduction: .*, 8 problem"
  "1|$np|flood|^line 1: other text 'a{80}...' .50000000 characters. (line [0-9]+: other text 'y' ){9}[.]{3} and 1999991 more lines of other text FAILED"
  "2|$np $real|none|^trapezoid-check: cannot write standard output: No space left on device \$|full"
  "2|$np $real|none|^trapezoid-check: cannot write standard output: Bad file descriptor \$|closed"
  "2||none|^trapezoid-check: no process count usage: trapezoid-check NP .FILE .ERRORS.. +trapezoid-check --deadline SECONDS NP COMMAND[.]{3} \$"
  "2|0|none|^trapezoid-check: NP must be a whole number from 1 to 1000000, not '0' usage"
  "2|abc|none|^trapezoid-check: NP must be .* not 'abc' usage"
  "2|$np $work|none|^trapezoid-check: cannot read .*: Is a directory usage"
  "2|$np $real $work/none|none|^trapezoid-check: cannot read .*/none: No such file or directory usage"
)
# 50 MB of flood takes the checker a second here, and 11 under qemu-i386.
deadline=$((10 * TIME_SCALE))
for row in "${rows[@]}"; do
  IFS='|' read -r want args how regex to <<<"$row"
  read -ra args <<<"$args"
  corrupt "$how" >"$work/in"
  : >"$work/out"
  status=0
  case $to in
    full) timeout "$deadline" "$checker" "${args[@]}" <"$work/in" >/dev/full 2>"$work/err" || status=$? ;;
    closed) timeout "$deadline" "$checker" "${args[@]}" <"$work/in" >&- 2>"$work/err" || status=$? ;;
    *) timeout "$deadline" "$checker" "${args[@]}" <"$work/in" >"$work/out" 2>"$work/err" || status=$? ;;
  esac
  seen=$(cat "$work/err" "$work/out" | tr '\n' ' ')
  [ "$status" = "$want" ] && [[ $seen =~ $regex ]] ||
    fail "row $how (${args[*]}): exit status $status, not $want; output: $seen"
done
echo "${#rows[@]} rows passed on a real output of $np processes"
