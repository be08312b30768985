# slurm.sh PMI PROGRAM NP|sbatch: starts a one-node Slurm cluster and runs the
# job through srun with NP tasks, or the example job script through sbatch.
# slurm.sh PMI PROBE nodes srun|sbatch MPIEXEC|kill RANK: the same on two
# nodes on two test hosts, 6 tasks over both: through srun, the two-node job
# script that starts the job by MPIEXEC, or srun with RANK killed.
. "$(dirname "$0")/lib.sh"

pmi=$1 program=$2 mode=$3 row=${4:-$3} np=6
need_root "a Slurm cluster of its own"
for daemon in slurmctld slurmd srun sbatch munged ${4:+ip}; do
  command -v "$daemon" >/dev/null || skip "no $daemon: install slurmctld, slurmd, slurm-client, munge and iproute2"
done

work=$(mktemp -d)
# munged runs as its own user and must reach its files.
chmod 755 "$work"
trap '"$SCRIPTS_DIR/slurm-node" stop "$work/cluster"; rm -rf "$work"' EXIT
# Unique to the run, as in hosts.sh; jobs are submitted from the first host,
# whose shell is given the command's words as one string.
hosts=() on=(sh -c)
[ "$mode" != nodes ] || hosts=("tz$$a" "tz$$b") on=("$SCRIPTS_DIR/testhosts" rsh "tz$$a")
settings=$("$SCRIPTS_DIR/slurm-node" start "$work/cluster" 8 "${hosts[@]}") || fail "the cluster did not start"
eval "$settings"
srun=(srun --mpi="$pmi" -N 2 -n "$np" "$program")

case $row in
  srun) launch_ok "$work/out" "$work/err" "${srun[*]}" env "$RUN_MARK" "${on[@]}" "$(printf '%q ' "${srun[@]}")" ;;
  kill)
    # Without it srun lets the other tasks wait for the lost one forever.
    expect_killed "$5" "$np" "${on[@]}" "$(printf '%q ' srun --kill-on-bad-exit=1 "${srun[@]:1}")"
    exit ;;
  sbatch)
    job=$TESTS_DIR/../examples/trapezoid-nodes.sbatch
    [ "$mode" = nodes ] || job=$TESTS_DIR/../examples/trapezoid.sbatch np=4
    # sbatch's own output goes aside; the job's, errors included, to all.
    status=0
    launch "$work/sbatch.out" "$work/sbatch.err" env "$RUN_MARK" TRAPEZOID="$program" TRAPEZOID_MPI="$pmi" \
      TRAPEZOID_MPIEXEC="${5:-}" "${on[@]}" "$(printf '%q ' sbatch --wait --output="$work/all" "$job")" ||
      status=$?
    [ "$status" = 0 ] || { cat "$work/sbatch.err" "$work/all" >&2; fail "sbatch --wait: exit status $status"; }
    grep -v '^probe ' "$work/all" >"$work/out"
    grep '^probe ' "$work/all" >"$work/err" || true ;;
  *)
    np=$mode
    launch_ok "$work/out" "$work/err" "srun -n $np" env "$RUN_MARK" srun --mpi="$pmi" -n "$np" "$program" ;;
esac
check_output "$np" "$work/out" "$np tasks under Slurm ($row, --mpi=$pmi)"
[ "$mode" != nodes ] || expect_ranks_on "$work/err" "${hosts[@]}"
expect_none_left
echo "$np tasks under Slurm:" $(sort "$work/out")
