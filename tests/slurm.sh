# slurm.sh PMI PROGRAM NP|sbatch: starts a one-node Slurm cluster and runs the
# job through srun with NP tasks, or the example job script through sbatch.
. "$(dirname "$0")/lib.sh"

pmi=$1 program=$2 mode=$3
need_root "a Slurm cluster of its own"
for daemon in slurmctld slurmd srun sbatch munged; do
  command -v "$daemon" >/dev/null || skip "no $daemon: install slurmctld, slurmd, slurm-client and munge"
done

work=$(mktemp -d)
# munged runs as its own user and must reach its files.
chmod 755 "$work"
trap '"$SCRIPTS_DIR/slurm-node" stop "$work/cluster"; rm -rf "$work"' EXIT
settings=$("$SCRIPTS_DIR/slurm-node" start "$work/cluster") || fail "the cluster did not start"
eval "$settings"

if [ "$mode" = sbatch ]; then
  np=4
  job=$TESTS_DIR/../examples/trapezoid.sbatch
  # sbatch's own output goes aside; the job's, errors included, to out.
  status=0
  launch "$work/sbatch.out" "$work/err" env TRAPEZOID="$program" TRAPEZOID_MPI="$pmi" \
    sbatch --wait --output="$work/out" "$job" || status=$?
  [ "$status" = 0 ] || { cat "$work/err" "$work/out" >&2; fail "sbatch --wait: exit status $status"; }
else
  np=$mode
  launch_ok "$work/out" "$work/err" "srun -n $np" srun --mpi="$pmi" -n "$np" "$program"
fi
check_output "$np" "$work/out" "$np tasks under Slurm ($mode, --mpi=$pmi)"
echo "$np tasks under Slurm:" $(sort "$work/out")
