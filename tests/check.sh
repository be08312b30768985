#!/usr/bin/env bash
# check.sh CHECKER NP COMMAND...: runs the job once, then the checker on its
# output and on corruptions of it. Each row: exit status, arguments, the input
# made from the output, and what stderr then stdout, joined, must match.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

checker=$1 np=$2
shift 2
real=$work/real
launch_ok "$real" "$work/err" "$*" "$@"
# With equal shares of a growing x^2, the partial sums grow with the rank.
mapfile -t by_rank < <(grep -F "I'm here" "$real" | sort -g)
r3=${by_rank[3]} v1=${by_rank[1]%% *} v2=${by_rank[2]%% *} v3=${by_rank[3]%% *}

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
  esac
}

# Each row: exit status, arguments, the corruption, and what stderr then
# stdout, joined, must match. The untouched output comes first, so that no
# row below fails for a broken checker.
rows=(
  "0|$np $real|none|^ok: $np of $np processes reported, total 0.333333 \$"
  "1|$np|drop-rank3|^rank 3: '$r3' 0 times, not 1 FAILED: 7 of $np"
  "1|$np|repeat-rank3|^rank 3: '$r3' 2 times, not 1 FAILED: $np of $np"
  "1|$np|wrong-value|^line [0-9]+: value 0.5 is no rank's rank 3: "
  "1|$np|fuse-ranks-1-2|^line [0-9]+: broken or fused line '$v1$v2 .* rank 1: .* rank 2: "
  "1|$np|drop-total|^total 0.333333 on a line of its own 0 times.* total missing"
  "1|$np|wrong-total|^line [0-9]+: total 0.333334, not 0.333333 total "
  "1|$np|repeat-total|^total 0.333333 on a line of its own 2 times"
  "1|$np|other-text|^line [0-9]+: other text 'hello' FAILED"
  "0|$np -|crlf|^ok: $np of $np"
  "0|$np|no-last-line-end|^ok: $np of $np"
  "2||none|^trapezoid-check: no process count usage: trapezoid-check NP .FILE. \$"
  "2|0|none|^trapezoid-check: NP must be a whole number from 1 to 1000000, not '0' usage"
  "2|abc|none|^trapezoid-check: NP must be .* not 'abc' usage"
  "2|$np $work|none|^trapezoid-check: cannot read .*: Is a directory usage"
)
for row in "${rows[@]}"; do
  IFS='|' read -r want args how regex <<<"$row"
  read -ra args <<<"$args"
  corrupt "$how" >"$work/in"
  status=0
  timeout 10 "$checker" "${args[@]}" <"$work/in" >"$work/out" 2>"$work/err" || status=$?
  seen=$(cat "$work/err" "$work/out" | tr '\n' ' ')
  [ "$status" = "$want" ] && [[ $seen =~ $regex ]] ||
    fail "row $how (${args[*]}): exit status $status, not $want; output: $seen"
done
echo "${#rows[@]} rows passed on a real output of $np processes"
