#!/usr/bin/env bash
# output.sh NP RUNS COMMAND...: runs the job RUNS times and checks the exit
# status and the output of each run.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

np=$1 runs=$2
shift 2

for run in $(seq "$runs"); do
  where="run $run of $runs: $*"
  launch_ok "$work/out" "$work/err" "$where" "$@"
  check_output "$np" "$work/out" "$where"
done
echo "$runs runs of $np processes: $(sort "$work/out" | paste -sd ' ')"
