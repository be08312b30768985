#!/usr/bin/env bash
# slurm.sh BUILD PROGRAM NP|sbatch: starts a one-node Slurm cluster and runs
# the job through srun with NP tasks and the PMI of the BUILD's MPI, or the
# example job script through sbatch.
# slurm.sh BUILD PROBE nodes srun|sbatch|kill RANK: the same on two nodes on
# two test hosts, 6 tasks over both: through srun, the two-node job script
# that starts the job by the build's own launcher, or srun with RANK killed.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1 program=$2 mode=$3 row=${4:-$3} np=6
pmi=$(build_fact "$build" TRAPEZOID_PMI)
need_root "a Slurm cluster of its own"
for daemon in slurmctld slurmd srun sbatch munged ${4:+ip}; do
  command -v "$daemon" >/dev/null || skip "no $daemon: install slurmctld, slurmd, slurm-client, munge and iproute2"
done

cleanup() { "$SCRIPTS_DIR/testbed/slurm-node" stop "$work/cluster"; }
# Unique to the run, as in hosts.sh; jobs are submitted from the first host,
# whose shell is given the command's words as one string.
hosts=() on=(sh -c)
[ "$mode" != nodes ] || hosts=("tz$$a" "tz$$b") on=("$SCRIPTS_DIR/testbed/testhosts" rsh "tz$$a")
"$SCRIPTS_DIR/testbed/slurm-node" start "$work/cluster" 8 "${hosts[@]}" >/dev/null || fail "the cluster did not start"
export SLURM_CONF=$work/cluster/slurm.conf

script=$TESTS_DIR/../examples/trapezoid-nodes.sbatch
case $mode/$row in
  nodes/srun) job=(srun --mpi="$pmi" -N 2 -n "$np" "$program") ;;
  nodes/kill)
    # Without it srun lets the other tasks wait for the lost one forever.
    expect_killed "$5" "$np" "${on[@]}" "$(printf '%q ' srun --kill-on-bad-exit=1 --mpi="$pmi" -N 2 -n "$np" "$program")"
    exit ;;
  sbatch/*) np=4 script=$TESTS_DIR/../examples/trapezoid.sbatch ;&
  */sbatch) job=(sbatch --wait --output="$work/job.out" --error="$work/job.err" "$script") ;;
  *) np=$mode job=(srun --mpi="$pmi" -n "$np" "$program") ;;
esac
launch_ok "$work/out" "$work/err" "${job[*]}" env "$RUN_MARK" TRAPEZOID_BUILD="$build" TRAPEZOID="$program" \
  "${on[@]}" "$(printf '%q ' "${job[@]}")"
[ "$row" != sbatch ] || { mv "$work/job.out" "$work/out" && mv "$work/job.err" "$work/err"; }
check_output "$np" "$work/out" "$np tasks under Slurm ($row, --mpi=$pmi)"
[ "$mode" != nodes ] || expect_ranks_on "$work/err" "${hosts[@]}"
expect_none_left
echo "$np tasks under Slurm: $(sort "$work/out" | paste -sd ' ')"
