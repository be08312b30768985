#!/usr/bin/env bash
# containers.sh BUILD host|hosts|slurm|remove: the root that install.sh
# installed this build's package into, run as an image the way clusters run
# MPI in containers: the host's launcher, or srun, starts a container per
# process (Charliecloud's ch-run, podman), whose MPI wires up through the
# PMI the launcher serves. On this host, with the faults of processes kept
# apart; across two test hosts; on two Slurm nodes on test hosts. Every
# container shows a mark only the image holds. remove: the image goes.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1 mode=$2
image=$(test_image "$build") podman_image=$(test_image "$build" podman)
# Root's; podman run by anyone else would start a rootless podman of theirs.
if [ "$mode" = remove ]; then
  [ "$(id -u)" = 0 ] || exit 0
  rm -rf "$image"
  ! command -v podman >/dev/null || podman rmi -f "$podman_image" >/dev/null 2>&1 || true
  exit 0
fi
need_root "the image's containers"
[ -f "$image/etc/trapezoid-image" ] || fail "no image in $image: install.sh makes it"
for tool in ch-run podman; do
  command -v "$tool" >/dev/null || skip "no $tool: install charliecloud-runtime, podman and runc"
done
mark=$(cat "$image/etc/trapezoid-image")
mpi=$(build_fact "$build" TRAPEZOID_MPI) launcher=$(build_fact "$build" TRAPEZOID_MPIEXEC)
pmi=$(build_fact "$build" TRAPEZOID_PMI) mpi_name=$(build_fact "$build" TRAPEZOID_MPI_NAME)
# shellcheck source=../scripts/lib/podman.sh
. "$SCRIPTS_DIR/lib/podman.sh"
mapfile -t podman_flags < <(podman_run_flags "$podman_image")
[ ${#podman_flags[@]} -gt 0 ] || fail "podman runs no container here"
# Open MPI's launcher names its processes a session directory under its
# TMPDIR, by path. ch-run binds TMPDIR at the container's /tmp (/tmp if unset):
# it runs without, and a TMPDIR outside /tmp is bound in at its path.
tmp=$(cd "${TMPDIR:-/tmp}" && pwd) tmp_binds=() podman_tmp=()
[[ $tmp/ == /tmp/* ]] || { mkdir -p "$image$tmp" && tmp_binds=(-b "$tmp") podman_tmp=(-v "$tmp:$tmp"); }
ch_run=(env -u TMPDIR ch-run "${tmp_binds[@]}")
# As sites run podman: the host's network, processes and IPC, and the
# launcher's PMI passed in; Open MPI's processes find its PMIx server's
# files in /tmp, or TMPDIR.
podman_run=(podman run --rm --net=host --pid=host --ipc=host "${podman_flags[@]}" --env 'PMI_*' --env 'OMPI_*'
  --env 'PMIX_*' --env 'PRTE_*' -v /tmp:/tmp "${podman_tmp[@]}")
# MPICH's launcher would hand each process a socket that stays outside.
mpiexec_flags=()
[ "$mpi" = openmpi ] || mpiexec_flags=(-pmi-port)
# join NP: how ch-run puts the NP processes of a node in one container: it
# finds their count from Open MPI's launcher and from srun, not from MPICH's.
join() { if [ "$mpi" = mpich ]; then echo "--join-ct=$1"; else echo --join; fi; }
# Each process shows the mark and its host, then runs the image's program.
shown=(sh -c 'echo "$(cat /etc/trapezoid-image) $(hostname)" >&2 && exec trapezoid')

# expect_job NP WHERE [HOST...]: the output in $work/out is right, and each
# of the NP processes showed the image's mark in $work/err, on every HOST.
expect_job() {
  local np=$1 where=$2 host
  shift 2
  check_output "$np" "$work/out" "$where"
  [ "$(grep -c "^$mark " "$work/err")" = "$np" ] || { cat "$work/err" >&2; fail "$where: not every process ran in the image"; }
  for host in "$@"; do
    grep -qx "$mark $host" "$work/err" || { cat "$work/err" >&2; fail "$where: no container ran on $host"; }
  done
  echo "== $where: $np containers of the image; $("$TRAPEZOID_CHECK" "$np" "$work/out" 2>&1 | tail -1)"
}

# own_boot_id ENGINE: whether the test hosts have a boot id each, as
# separate machines do. UCX reads it to tell the processes of one machine,
# and passes MPICH's messages between those through shared memory, which
# ch-run's containers of two test hosts cannot share. podman 5 refuses to
# run under a boot id other than the one it recorded ("an unhandled reboot
# has occurred"); its containers share the machine's IPC, and may.
own_boot_id() {
  if [ "$1" = ch-run ]; then export TESTHOSTS_OWN_BOOT_ID=1; else unset TESTHOSTS_OWN_BOOT_ID; fi
}

# launch_across WHERE COMMAND...: launch_ok for a job across two
# hosts, but for a fault of MPICH 4.0's: over UCX's TCP, with two processes
# on a host, it hangs in MPI_Finalize after a right output in many jobs
# (docs/sweep.md). That is said, and the output before the launcher's
# report of the processes stopped at the deadline must be right.
launch_across() {
  local where=$1 status=0
  shift
  LAUNCH_TIMEOUT=$((12 * TIME_SCALE)) launch "$work/out" "$work/err" "$@" || status=$?
  if [ "$status" = 124 ] && [ -n "${TESTHOSTS_OWN_BOOT_ID:-}" ] && [[ $mpi_name == "MPICH 4.0"* ]] &&
    awk 'NF == 0 { exit } { print }' "$work/out" >"$work/before" &&
    "$TRAPEZOID_CHECK" 4 "$work/before" >/dev/null 2>&1; then
    mv "$work/before" "$work/out"
    echo "NOTE: $mpi_name hung in MPI_Finalize after a right output, as it does over UCX's TCP; stopped at the deadline"
  elif [ "$status" != 0 ]; then
    cat "$work/err" "$work/out" >&2
    fail "$where: exit status $status"
  fi
}

case $mode in
  host)
    # For an ordinary user, as clusters run ch-run (it needs $USER). Row:
    # name, the launcher's flags, ch-run's, the first cause (none: right).
    # Processes in namespaces of their own reach each other's memory through
    # /proc under UCX (MPICH on 64-bit; over ch3, on 32-bit x86, it shares
    # files), which fails in MPICH 4.0 and says so beside a right output in
    # 4.2, and through Open MPI 4.1's CMA, which it drops with a warning
    # (told to use it, it aborts, and its launcher now and then loses why).
    # A fault is judged from both streams, as through 2>&1. Open MPI 5.0
    # says nothing and runs right, even told to use CMA. Last field: the
    # launcher's environment, here a TMPDIR that ch-run does not bind at its
    # path, where Open MPI's processes look for their session directory.
    rows=("join||$(join 4)|" "setting|-genv UCX_POSIX_USE_PROC_LINK n||")
    ldd "$build/trapezoid" | grep -q libucp && rows+=("apart|||namespace-shm")
    if [ "$mpi" = openmpi ]; then
      rows=("join||$(join 4)|" "setting|--mca btl_vader_single_copy_mechanism none||" "apart|||namespace-shm")
      [[ $mpi_name != "Open MPI 5"* ]] || rows=("join||$(join 4)|" "apart|--mca smsc cma||")
      rows+=("tmpdir||$(join 4)|session-dir|TMPDIR=$work/home")
    fi
    mkdir "$work/home"
    cp "$SCRIPTS_DIR/lib/launcher.sh" "$SCRIPTS_DIR/lib/mpi.sh" "$work/home/"
    as_user=("$SCRIPTS_DIR/testbed/as-user" "$work/home" bash -c '. ./launcher.sh && exec "$@"' _)
    for row in "${rows[@]}"; do
      IFS='|' read -r name flags ch_flags expected vars <<<"$row"
      read -ra flags <<<"$flags"
      read -ra ch_flags <<<"$ch_flags"
      read -ra vars <<<"$vars"
      program=("${shown[@]}") status=0
      [ -z "$expected" ] || program=(trapezoid)
      launch "$work/out" "$work/err" "${as_user[@]}" env "${vars[@]}" "$launcher" "${flags[@]}" -n 4 ch-run "${ch_flags[@]}" "$image" -- \
        "${program[@]}" || status=$?
      if [ -z "$expected" ]; then
        [ "$status" = 0 ] || { cat "$work/err" >&2; fail "ch-run, $name: exit status $status"; }
        expect_job 4 "$launcher ... ch-run, $name"
        continue
      fi
      cat "$work/out" "$work/err" >"$work/both"
      "$TRAPEZOID_CHECK" 4 "$work/both" >"$work/answer" 2>&1
      if [ "$expected" = namespace-shm ] && grep -q 'ORTE_ERROR_LOG: Data unpack' "$work/err" && ! grep -q 'user namespaces' "$work/err"; then
        # Open MPI 4.1's launcher now and then loses its processes' warning.
        grep -q "^cause: launcher-error: .*ORTE_ERROR_LOG: Data unpack" "$work/answer" && check_output 4 "$work/out" "ch-run, $name" ||
          { cat "$work/answer" >&2; fail "ch-run, $name: a lost warning, and not the launcher's error named"; }
        echo "NOTE: Open MPI's launcher lost its processes' warning of the namespaces, and said ORTE_ERROR_LOG"
      else
        grep -m1 '^cause: ' "$work/answer" | grep -q "^cause: $expected: " ||
          { cat "$work/answer" >&2; fail "ch-run, $name: the first cause is not $expected"; }
      fi
      echo "== ch-run, $name: exit status $status, $(grep -m1 '^cause: ' "$work/answer" | cut -c1-100)"
    done

    # A sweep of this host whose processes run in the image: its copy has
    # no program of its own beside it to run instead.
    mkdir "$work/kit"
    cp "$build/trapezoid-sweep" "$build/mpi.env" "$work/kit/"
    echo localhost >"$work/hosts"
    join=$(join 2)
    launch_ok "$work/out" "$work/err" "trapezoid-sweep --wrap 'ch-run $join IMAGE --'" "${as_user[@]}" "$work/kit/trapezoid-sweep" \
      --hostfile "$work/hosts" --rsh false --deadline $((20 * TIME_SCALE)) --wrap "ch-run $join $image --"
    grep -q "each process in 'ch-run $join $image --'" "$work/err" || fail "the sweep does not say what wraps its jobs"
    echo "== trapezoid-sweep --wrap 'ch-run $join IMAGE --': $(grep '^alone ' "$work/out")"

    launch_ok "$work/out" "$work/err" "$launcher -n 4 podman run ... IMAGE" \
      "$launcher" "${mpiexec_flags[@]}" -n 4 "${podman_run[@]}" "$podman_image" "${shown[@]}"
    expect_job 4 "$launcher ... podman run (${podman_flags[*]})"

    # Under srun on one Slurm node, with the build's PMI.
    command -v slurmd >/dev/null || skip "no slurmd: install slurmctld, slurmd, slurm-client and munge"
    cleanup() { "$SCRIPTS_DIR/testbed/slurm-node" stop "$work/cluster"; }
    "$SCRIPTS_DIR/testbed/slurm-node" start "$work/cluster" 8 >/dev/null || fail "the cluster did not start"
    mkdir -p "$image$work/cluster"
    launch_ok "$work/out" "$work/err" "srun --mpi=$pmi ch-run --join" env SLURM_CONF="$work/cluster/slurm.conf" \
      USER=root srun --mpi="$pmi" -n 4 "${ch_run[@]}" --join -b "$work/cluster" "$image" -- "${shown[@]}"
    expect_job 4 "srun --mpi=$pmi ch-run --join" ;;
  hosts)
    hosts=("tz$$a" "tz$$b")
    cleanup() { "$SCRIPTS_DIR/testbed/testhosts" down "${hosts[@]}"; }
    "$SCRIPTS_DIR/testbed/testhosts" up "${hosts[@]}" || fail "no test hosts"
    "$SCRIPTS_DIR/testbed/testhosts" agent "$work/rsh"
    mapfile -t remote < <(remote_flags "$build" "$work/rsh" "$work/hostfile" "${hosts[0]}:2" "${hosts[1]}:2")
    for engine in ch-run podman; do
      own_boot_id "$engine"
      in_container=("${ch_run[@]}" "$(join 2)" "$image" --)
      [ "$engine" = ch-run ] || in_container=("${podman_run[@]}" "$podman_image")
      launch_across "$engine on two test hosts" env USER=root \
        "$SCRIPTS_DIR/testbed/testhosts" rsh "${hosts[0]}" \
        "$(printf '%q ' "$launcher" "${mpiexec_flags[@]}" -n 4 "${remote[@]}" "${in_container[@]}" "${shown[@]}")"
      expect_job 4 "$launcher ... $engine, on two test hosts" "${hosts[@]}"
    done ;;
  slurm)
    command -v slurmd >/dev/null || skip "no slurmd: install slurmctld, slurmd, slurm-client and munge"
    hosts=("tz$$a" "tz$$b")
    cleanup() { for cluster in "$work"/cluster-*; do "$SCRIPTS_DIR/testbed/slurm-node" stop "$cluster"; done; }
    # The test hosts share /dev/shm, where ch-run's peer groups meet: each
    # node's group needs a tag of its own, as it has a machine of its own
    # elsewhere.
    tag='--join-tag=$SLURM_JOB_ID.$SLURM_STEP_ID.$SLURMD_NODENAME'
    # Slurm's PMI-2 hands each task a socket; podman passes in only the
    # descriptors right after standard error. Open MPI's processes take
    # themselves for jobs of their own unless they see srun's environment.
    pass_pmi='set -- && if [ -n "${PMI_FD:-}" ]; then exec 3<&"$PMI_FD" && export PMI_FD=3 && set -- --preserve-fds=1; fi'
    for engine in ch-run podman; do
      # A node's tasks have the boot id its slurmd has. A cluster of its
      # own: one restarted after a step stopped at the deadline (MPICH
      # 4.0's hang) did not bring its nodes back within the wait.
      own_boot_id "$engine"
      cluster=$work/cluster-$engine
      "$SCRIPTS_DIR/testbed/slurm-node" start "$cluster" 8 "${hosts[@]}" >/dev/null || fail "the cluster did not start"
      # Open MPI's processes find the PMIx folder Slurm makes in its TmpFS
      # only where it is bound in at the same path.
      mkdir -p "$image$cluster"
      step="exec $(printf '%q ' "${ch_run[@]}") $tag $(printf '%q ' -b "$cluster" "$image" -- "${shown[@]}")"
      [ "$engine" = ch-run ] || step="$pass_pmi && exec podman run \"\$@\" $(printf '%q ' "${podman_run[@]:2}" \
        --env 'SLURM_*' -v "$cluster:$cluster" "$podman_image" "${shown[@]}")"
      launch_across "srun --mpi=$pmi $engine on two nodes" \
        "$SCRIPTS_DIR/testbed/testhosts" rsh "${hosts[0]}" "$(printf '%q ' env USER=root \
        SLURM_CONF="$cluster/slurm.conf" srun --mpi="$pmi" -N 2 --ntasks-per-node=2 bash -c "$step")"
      expect_job 4 "srun --mpi=$pmi $engine, on two Slurm nodes" "${hosts[@]}"
      "$SCRIPTS_DIR/testbed/slurm-node" stop "$cluster"
    done ;;
  *) fail "unknown mode $mode" ;;
esac
