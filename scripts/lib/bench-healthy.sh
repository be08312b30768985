# shellcheck shell=bash
# Sourced by scripts/bench-sweep: healthy sweeps of five Slurm nodes on test
# hosts under each MPI, each way a job can start in an allocation, counting
# the pair jobs that hung or failed on their first run (two at a time, as the
# sweep runs its waves) and the sweeps that named anything or ran a job again;
# each sweep's output stays in OUT/runs-MPI-WAY.

# healthy_counts DIR: from the sweeps' outputs in DIR (N.out, N.err), one
# line: sweeps, pair jobs, pair jobs hung, pair jobs failed otherwise, sweeps
# with a finding, sweeps that ran a job again.
healthy_counts() {
  local sweeps=0 pairs=0 hung=0 failed=0 named=0 again=0 err
  for err in "$1"/*.err; do
    sweeps=$((sweeps + 1))
    pairs=$((pairs + $(sed -n 's/.*, pairs: [0-9]* of \([0-9]*\) passed.*/\1/p' "$err" | awk '{ s += $1 } END { print s + 0 }')))
    hung=$((hung + $(grep -c ': pair .*: FAIL, .*: no end within' "$err")))
    failed=$((failed + $(grep ': pair .*: FAIL, ' "$err" | grep -vc ': no end within')))
    ! grep -qE '^(suspect|launcher:) ' "${err%.err}.out" || named=$((named + 1))
    ! grep -qE ' runs (again|under) ' "$err" || again=$((again + 1))
  done
  echo "$sweeps $pairs $hung $failed $named $again"
}

# bench_healthy SWEEPS OUT [MPI...]: SWEEPS sweeps of each MPI (default both)
# the way the build chose, and SWEEPS / 2 (80 pair jobs at least) the other
# way, added to OUT/sweep-healthy.csv.
bench_healthy() {
  local count=$1 out=$2 release mpi dir way ways other sweeps runs nodes=() mpis=(mpich openmpi)
  [ $# -le 2 ] || mpis=("${@:3}")
  release=$(. /etc/os-release && echo "$ID $VERSION_ID")
  for n in $(seq 5); do nodes+=("hb$$n$n"); done
  scripts/testbed/slurm-node start "$PWD/$out/healthy" 8 "${nodes[@]}" >/dev/null
  export SLURM_CONF=$PWD/$out/healthy/slurm.conf TESTHOSTS_OWN_BOOT_ID=1
  [ -s "$out/sweep-healthy.csv" ] ||
    echo release,mpi,launch,default,sweeps,pair_jobs,hung,failed,sweeps_named,sweeps_rerun >"$out/sweep-healthy.csv"
  printf '%-10s %-8s %-8s %6s %6s %5s %6s %6s %6s\n' release MPI launch sweeps pairs hung failed named rerun
  for mpi in "${mpis[@]}"; do
    dir=$PWD/build/$mpi way=$(build_fact "$dir" TRAPEZOID_SLURM_LAUNCH)
    other=srun
    [ "$way" != srun ] || other=mpiexec
    for ways in "$way $count yes" "$other $(((count + 1) / 2 > 8 ? (count + 1) / 2 : 8)) no"; do
      read -r way sweeps default <<<"$ways"
      runs=$out/runs-$mpi-$way
      rm -rf "$runs" && mkdir -p "$runs"
      # One allocation, the sweeps one after another in it, as a user would.
      scripts/testbed/testhosts rsh "${nodes[0]}" "$(printf '%q ' salloc -N 5 bash -c \
        'for i in $(seq "$1"); do "$2" --deadline 15 --launch "$3" >"$4/$i.out" 2>"$4/$i.err"; done' \
        sweeps "$sweeps" "$dir/trapezoid-sweep" "$way" "$PWD/$runs")" </dev/null >/dev/null 2>&1
      read -ra counts <<<"$(healthy_counts "$runs")"
      echo "${release// /-},$mpi,$way,$default,$(IFS=,; echo "${counts[*]}")" >>"$out/sweep-healthy.csv"
      printf '%-10s %-8s %-8s %6s %6s %5s %6s %6s %6s\n' "${release// /-}" "$mpi" "$way$([ "$default" = no ] || echo '*')" "${counts[@]}"
    done
  done
  scripts/testbed/slurm-node stop "$PWD/$out/healthy"
}
