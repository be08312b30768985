#!/usr/bin/env bash
# install.sh BUILD_DIR: the Debian package of this build, installed by apt
# into a bare root of this machine's release, brings in all it needs: the
# job's output passes the checker, a sweep of this one host passes (it needs
# no remote shell), and the man pages are found. Then that root is an image
# whose containers the host's mpiexec (Charliecloud's and podman's), a sweep
# and Slurm's srun start.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1
need_root "a Debian root"
command -v dpkg-shlibdeps >/dev/null || skip "no dpkg-shlibdeps: install dpkg-dev"
# The package of an older version beside it, as after an upgrade, must not
# be taken for this one.
mkdir "$work/packages"
touch "$work/packages/trapezoid-mpich_0.9.0_amd64.deb" "$work/packages/trapezoid-openmpi_0.9.0_amd64.deb"
# shellcheck source=../scripts/lib/packages.sh
. "$SCRIPTS_DIR/lib/packages.sh"
deb=$(make_package "$build" "$work/packages") || fail "no package of $build"
lintian --fail-on error "$deb" >&2 || fail "lintian finds errors in $deb"

. /etc/os-release
"$SCRIPTS_DIR/testbed/debian-root" make "$work/root" "$VERSION_CODENAME" "$(dpkg --print-architecture)" ||
  fail "no root of $VERSION_CODENAME"
cp "$deb" "$SCRIPTS_DIR/lib/launcher.sh" "$SCRIPTS_DIR/lib/mpi.sh" "$work/root/root/"
# apt fetches the MPI and its libraries.
LAUNCH_TIMEOUT=$((400 * TIME_SCALE)) launch_ok "$work/out" "$work/err" "apt-get install ./$(basename "$deb")" \
  "$SCRIPTS_DIR/testbed/debian-root" run "$work/root" sh -c "cd /root && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ./*.deb man-db"
launch_ok "$work/out" "$work/err" "mpiexec -n 4 trapezoid | trapezoid-check 4" \
  "$SCRIPTS_DIR/testbed/debian-root" run "$work/root" bash -c \
  ". /root/launcher.sh && mpiexec -n 4 trapezoid | trapezoid-check 4 && echo localhost >/root/hosts &&
    trapezoid-sweep --hostfile /root/hosts --rsh false && man -w trapezoid trapezoid-check trapezoid-sweep"
cat "$work/out"

# The same root as an image, as clusters run containers: the host's
# launcher starts each process in a Charliecloud container of its own, for
# an ordinary user (ch-run needs $USER). The image holds a mark the host has
# not, which each container shows.
command -v ch-run >/dev/null || skip "no ch-run: install charliecloud-runtime"
mpi=$(build_fact "$build" TRAPEZOID_MPI) launcher=$(build_fact "$build" TRAPEZOID_MPIEXEC)
echo "image$$" >"$work/root/etc/trapezoid-image"
mkdir "$work/home"
cp "$SCRIPTS_DIR/lib/launcher.sh" "$SCRIPTS_DIR/lib/mpi.sh" "$work/home/"
# Row: name, the launcher's flags, ch-run's, the first cause (none: right).
# Processes in namespaces of their own reach each other's memory through
# /proc under UCX (MPICH on 64-bit; over ch3, on 32-bit x86, it shares files),
# which fails in MPICH 4.0 and says so beside a right output in 4.2, and
# through Open MPI 4.1's CMA, which it drops with a warning (told to use it,
# it aborts, and its launcher now and then loses why). A fault is judged
# from both streams, as through 2>&1. Open MPI 5.0 says nothing and runs
# right, even told to use CMA.
rows=("join||--join-ct=4|" "setting|-genv UCX_POSIX_USE_PROC_LINK n||")
ldd "$build/trapezoid" | grep -q libucp && rows+=("apart|||namespace-shm")
if [ "$mpi" = openmpi ]; then
  rows=("join||--join|" "setting|--mca btl_vader_single_copy_mechanism none||" "apart|||namespace-shm")
  [[ $(build_fact "$build" TRAPEZOID_MPI_NAME) != "Open MPI 5"* ]] || rows=("join||--join|" "apart|--mca smsc cma||")
fi
for row in "${rows[@]}" "mark|||"; do
  IFS='|' read -r name flags ch_flags expected <<<"$row"
  read -ra flags <<<"$flags"
  read -ra ch_flags <<<"$ch_flags"
  np=4 program=(trapezoid) status=0
  [ "$name" != mark ] || np=2 program=(cat /etc/trapezoid-image)
  launch "$work/out" "$work/err" "$SCRIPTS_DIR/testbed/as-user" "$work/home" bash -c '. ./launcher.sh && exec "$@"' \
    _ "$launcher" "${flags[@]}" -n "$np" ch-run "${ch_flags[@]}" "$work/root" -- "${program[@]}" || status=$?
  if [ "$name" = mark ]; then
    [ "$status" = 0 ] && [ "$(sort -u "$work/out")" = "image$$" ] && [ "$(wc -l <"$work/out")" = 2 ] ||
      { cat "$work/err" "$work/out" >&2; fail "the containers do not show the image's mark"; }
    echo "== ch-run: $np containers show the image's mark"
    continue
  fi
  streams=("$work/out" "$work/err")
  [ -z "$expected" ] || { cat "$work/out" "$work/err" >"$work/both" && streams=("$work/both"); }
  "$TRAPEZOID_CHECK" "$np" "${streams[@]}" >"$work/answer" 2>&1 || [ -n "$expected" ] ||
    { cat "$work/answer" >&2; fail "ch-run, $name: exit status $status, rejected by trapezoid-check"; }
  [ "$status" = 0 ] || [ -n "$expected" ] || fail "ch-run, $name: exit status $status"
  if [ -n "$expected" ] && grep -q 'ORTE_ERROR_LOG: Data unpack' "$work/err" && ! grep -q 'user namespaces' "$work/err"; then
    # Open MPI 4.1's launcher now and then loses its processes' warning.
    grep -q "^cause: launcher-error: .*ORTE_ERROR_LOG: Data unpack" "$work/answer" && check_output "$np" "$work/out" "ch-run, $name" ||
      { cat "$work/answer" >&2; fail "ch-run, $name: a lost warning, and not the launcher's error named"; }
    echo "NOTE: Open MPI's launcher lost its processes' warning of the namespaces, and said ORTE_ERROR_LOG"
  elif [ -n "$expected" ]; then
    grep -m1 '^cause: ' "$work/answer" | grep -q "^cause: $expected: " ||
      { cat "$work/answer" >&2; fail "ch-run, $name: the first cause is not $expected"; }
  fi
  echo "== ch-run, $name: exit status $status, $(grep -m1 -e '^cause: ' -e '^ok' "$work/answer" | cut -c1-100)"
done

# A sweep of this host whose processes run in the image: its copy has no
# program of its own beside it to run instead.
mkdir "$work/kit"
cp "$build/trapezoid-sweep" "$build/mpi.env" "$work/kit/"
join=--join-ct=2
[ "$mpi" = mpich ] || join=--join
echo localhost >"$work/hosts"
launch_ok "$work/out" "$work/err" "trapezoid-sweep --wrap 'ch-run $join IMAGE --'" "$SCRIPTS_DIR/testbed/as-user" \
  "$work/home" bash -c '. ./launcher.sh && exec "$@"' _ "$work/kit/trapezoid-sweep" --hostfile "$work/hosts" \
  --rsh false --deadline $((20 * TIME_SCALE)) --wrap "ch-run $join $work/root --"
grep -q "each process in 'ch-run $join $work/root --'" "$work/err" || fail "the sweep does not say what wraps its jobs"
echo "== trapezoid-sweep --wrap 'ch-run $join IMAGE --': $(grep '^alone ' "$work/out")"

# The root as a podman image, as sites run podman: the host's launcher
# starts a container per process, sharing the host's network, processes and
# IPC. MPICH's processes reach the launcher's PMI through a port, as the
# socket it would hand them stays outside; Open MPI's reach its PMIx server's
# rendezvous files in /tmp, bound in.
command -v podman >/dev/null || skip "no podman: install podman and runc"
# shellcheck source=../scripts/lib/podman.sh
. "$SCRIPTS_DIR/lib/podman.sh"
image=localhost/trapezoid-test-$$
cleanup() { podman rmi -f "$image" >/dev/null 2>&1; }
tar -C "$work/root" -c . | podman import -q - "$image" >/dev/null || fail "podman cannot import the root"
mapfile -t podman_flags < <(podman_run_flags "$image")
[ ${#podman_flags[@]} -gt 0 ] || fail "podman runs no container here"
podman_run=(podman run --rm --net=host --pid=host --ipc=host "${podman_flags[@]}" --env 'PMI_*' --env 'OMPI_*'
  --env 'PMIX_*' --env 'PRTE_*' -v /tmp:/tmp "$image")
flags=()
[ "$mpi" = openmpi ] || flags=(-pmi-port)
# in_podman NP COMMAND...: the host's launcher runs NP containers of COMMAND.
in_podman() {
  local np=$1
  shift
  launch_ok "$work/out" "$work/err" "$launcher -n $np podman run ... IMAGE $*" bash -c '. "$1" && shift && exec "$@"' \
    _ "$SCRIPTS_DIR/lib/launcher.sh" "$launcher" "${flags[@]}" -n "$np" "${podman_run[@]}" "$@"
}
in_podman 2 cat /etc/trapezoid-image
[ "$(sort -u "$work/out")" = "image$$" ] && [ "$(wc -l <"$work/out")" = 2 ] ||
  fail "podman's containers do not show the image's mark"
in_podman 4 trapezoid
check_output 4 "$work/out" "podman run"
echo "== podman run (${podman_flags[*]}): 2 containers show the image's mark; $("$TRAPEZOID_CHECK" 4 "$work/out" 2>&1 | tail -1)"
podman rmi -f "$image" >/dev/null 2>&1

# Under srun on a Slurm node, with the build's PMI, a node's containers
# joined. Open MPI's processes reach the PMIx folder Slurm makes in its TmpFS
# only when it is bound into the image at the same path.
command -v slurmd >/dev/null || skip "no slurmd: install slurmctld, slurmd, slurm-client and munge"
cleanup() { "$SCRIPTS_DIR/testbed/slurm-node" stop "$work/cluster"; }
"$SCRIPTS_DIR/testbed/slurm-node" start "$work/cluster" 8 >/dev/null || fail "the cluster did not start"
mkdir -p "$work/root$work/cluster"
pmi=$(build_fact "$build" TRAPEZOID_PMI)
launch_ok "$work/out" "$work/err" "srun --mpi=$pmi ch-run --join" env SLURM_CONF="$work/cluster/slurm.conf" \
  USER=root srun --mpi="$pmi" -n 4 ch-run --join -b "$work/cluster" "$work/root" -- sh -c 'cat /etc/trapezoid-image >&2 && exec trapezoid'
check_output 4 "$work/out" "srun --mpi=$pmi ch-run --join"
[ "$(grep -cx "image$$" "$work/err")" = 4 ] || fail "srun's tasks do not show the image's mark"
echo "== srun --mpi=$pmi ch-run --join: $("$TRAPEZOID_CHECK" 4 "$work/out" 2>&1 | tail -1)"
