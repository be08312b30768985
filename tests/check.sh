# check.sh CHECKER NP COMMAND...: runs the job once, then the checker on its
# output and on corruptions of it. Each row: exit status, arguments, the input
# made from the output, and what stderr then stdout, joined, must match.
. "$(dirname "$0")/lib.sh"

checker=$1 np=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
real=$work/real
launch_ok "$real" "$work/err" "$*" "$@"
# With equal shares of a growing x^2, the partial sums grow with the rank.
mapfile -t by_rank < <(grep -F "I'm here" "$real" | sort -g)
r3=${by_rank[3]} v1=${by_rank[1]%% *} v2=${by_rank[2]%% *} v3=${by_rank[3]%% *}

# The untouched output first, so that no row below fails for a broken checker.
rows=(
  '0|$np $real|:|^ok: $np of $np processes reported, total 0.333333 $'
  '1|$np|grep -vxF "$r3" "$real"|^rank 3: .$r3. 0 times, not 1 FAILED: 7 of $np'
  '1|$np|cat "$real"; echo "$r3"|^rank 3: .$r3. 2 times, not 1 FAILED: $np of $np'
  '1|$np|sed "s/^$v3/0.5/" "$real"|^line [0-9]+: value 0.5 is no rank.s rank 3: '
  '1|$np|sed "/^$v1 /d; s/^$v2/$v1&/" "$real"|^line [0-9]+: broken or fused line .$v1$v2 .* rank 1: .* rank 2: '
  '1|$np|grep -vxF 0.333333 "$real"|^total 0.333333 on a line of its own 0 times.* total missing'
  '1|$np|sed s/^0.333333$/0.333334/ "$real"|^line [0-9]+: total 0.333334, not 0.333333 total '
  '1|$np|cat "$real"; echo 0.333333|^total 0.333333 on a line of its own 2 times'
  '1|$np|cat "$real"; echo hello|^line [0-9]+: other text .hello. FAILED'
  '0|$np -|sed "s/\$/\r/" "$real"|^ok: $np of $np'
  '0|$np|head -c -1 "$real"|^ok: $np of $np'
  '2||cat "$real"|^trapezoid-check: no process count usage: trapezoid-check NP .FILE. $'
  '2|0|cat "$real"|^trapezoid-check: NP must be a whole number from 1 to 1000000, not .0. usage'
  '2|abc|cat "$real"|^trapezoid-check: NP must be .* not .abc. usage'
  '2|$np $work|:|^trapezoid-check: cannot read .*: Is a directory usage'
)
for row in "${rows[@]}"; do
  IFS='|' read -r want args input regex <<<"$row"
  eval "args=($args)" && eval "regex=\"$regex\"" && eval "$input" >"$work/in"
  status=0
  timeout 10 "$checker" "${args[@]}" <"$work/in" >"$work/out" 2>"$work/err" || status=$?
  seen=$(cat "$work/err" "$work/out" | tr '\n' ' ')
  [ "$status" = "$want" ] && [[ $seen =~ $regex ]] ||
    fail "row '$input' (${args[*]}): exit status $status, not $want; output: $seen"
done
echo "${#rows[@]} rows passed on a real output of $np processes"
