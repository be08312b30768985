# output.sh NP RUNS COMMAND...: runs the job RUNS times and checks each output
# line by line: one whole report line per process, the total once on a line
# of its own, nothing else, and exit status 0.
. "$(dirname "$0")/lib.sh"

np=$1 runs=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected_reports "$np" >"$work/expected"

for run in $(seq "$runs"); do
  status=0
  launch "$work/out" "$work/err" "$@" || status=$?
  where="run $run of $runs: $*"
  [ "$status" = 0 ] || { cat "$work/err" >&2; fail "$where: exit status $status"; }
  [ -s "$work/out" ] && [ -z "$(tail -c 1 "$work/out")" ] || fail "$where: output does not end a line"
  grep -E "I'm here" "$work/out" | sort >"$work/reports" || true
  diff "$work/expected" "$work/reports" >&2 || fail "$where: report lines differ (< expected, > seen)"
  totals=$(grep -cxF "$EXPECTED_TOTAL" "$work/out" || true)
  [ "$totals" = 1 ] || fail "$where: total $EXPECTED_TOTAL on a line of its own $totals times"
  lines=$(wc -l <"$work/out")
  [ "$lines" = $((np + 1)) ] || { cat "$work/out" >&2; fail "$where: $lines lines, not $((np + 1))"; }
done
echo "$runs runs of $np processes: $(sort -u "$work/reports" | tr '\n' ' ')total $EXPECTED_TOTAL"
