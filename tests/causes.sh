#!/usr/bin/env bash
# causes.sh ROW BUILD PROGRAM PROBE: makes one fault for real, shows that it
# was there (by the probe's records on stderr, where it can), and checks that
# trapezoid-check, running the job, names its cause in time, leaving nothing.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

row=$1 build=$2 program=$3 probe=$4
mpi=$(build_fact "$build" TRAPEZOID_MPI) launcher=$(build_fact "$build" TRAPEZOID_MPIEXEC)
pmi=$(build_fact "$build" TRAPEZOID_PMI)
# Each MPI Debian packages, with its launcher's suffix and srun's PMI for it.
mapfile -t mpis < <(awk '!/^#/ && NF { print $1, $2, $5 }' "$TESTS_DIR/../cmake/mpis.txt")
deadline=$((6 * TIME_SCALE))
raw=$work/raw answer=$work/answer

# judge STATUS NP COMMAND...: trapezoid-check runs COMMAND under the deadline
# and must exit with STATUS within a few seconds of it. The job's output and
# stderr are kept in $raw and $raw.err by copies that outlive the deadline's
# SIGTERM, so that what comes later reaches the checker, which must not count it.
judge() {
  local want=$1 np=$2 status=0 started elapsed_ms
  shift 2
  started=$(date +%s%N)
  timeout --kill-after=5 $((deadline + 20)) "$TRAPEZOID_CHECK" --deadline "$deadline" "$np" \
    bash -c 'exec "$@" > >(trap "" TERM && exec tee "$0") 2> >(trap "" TERM && exec tee "$0.err" >&2)' \
    "$raw" env "$RUN_MARK" "$@" \
    </dev/null >"$answer" 2>&1 || status=$?
  elapsed_ms=$((($(date +%s%N) - started) / 1000000))
  cat "$answer"
  [ "$status" = "$want" ] || fail "trapezoid-check exit status $status, not $want"
  [ "$elapsed_ms" -lt $(((deadline + 7) * 1000)) ] || fail "the answer took $elapsed_ms ms"
  expect_none_left
  echo "answer after $elapsed_ms ms (deadline $deadline s), no process left"
}

# shown WHAT REGEX [FILE]: the answer, or FILE, has a line that matches; absent: has none.
shown() {
  grep -qE -- "$2" "${3:-$answer}" || { cat "$raw.err" >&2; fail "not shown: $1 ('$2')"; }
}
absent() {
  ! grep -E -- "$2" "$3" >&2 || fail "shown: $1"
}

# reached RANK...: each RANK reached the reduction, in a world of 4.
reached() {
  local rank
  for rank in "$@"; do shown "rank $rank in the reduction" "^probe rank=$rank size=4\$" "$raw.err"; done
}

# first_cause NP REGEX: the first cause named matches REGEX, and no-output,
# if named, drops the firewall's advice, whether the checker ran the job,
# read its output and stderr through one pipe (2>&1 |) or as two files.
first_cause() {
  local np=$1 regex=$2 form
  for form in deadline pipe files; do
    case $form in
      pipe) cat "$raw" "$raw.err" | "$TRAPEZOID_CHECK" "$np" >"$answer" 2>&1 && fail "passes through a pipe" ;;
      files) "$TRAPEZOID_CHECK" "$np" "$raw" "$raw.err" >"$answer" 2>&1 && fail "passes as two files" ;;
    esac
    shown "the first cause, $form" "^$regex" <(grep -m1 '^cause: ' "$answer" | sed 's/^cause: //')
    absent "the firewall's advice, $form" '^cause: no-output: .*firewall' "$answer"
  done
  grep '^cause: ' "$answer"
}

# every_time REGEX COMMAND...: the checker running COMMAND as two processes
# names REGEX first in each of 100 more runs, four at a time. Given an input
# that ends, MPICH 4.0.2's mpiexec lost the error of a program that could not
# start, dying of SIGPIPE, in 12 of 200 such runs here; Open MPI 4.1.4's in
# none of 50, and its runs take 1 to 2 s each, so only MPICH's are counted.
every_time() {
  local regex=$1 stream pids=() lost=0
  shift
  for stream in 1 2 3 4; do
    for _ in $(seq 25); do
      "$TRAPEZOID_CHECK" --deadline "$deadline" 2 env "$RUN_MARK" "$@" </dev/null >"$answer.$stream" 2>&1
      grep -m1 '^cause: ' "$answer.$stream" | grep -qE "^cause: $regex" || { cat "$answer.$stream"; exit 1; }
    done &
    pids+=("$!")
  done
  for stream in "${pids[@]}"; do wait "$stream" || lost=$((lost + 1)); done
  [ "$lost" = 0 ] || fail "in $lost of 4 streams of 25 runs, the first cause was not '$regex'"
}

# hosts_up: test hosts $a and $b, and in $work/rsh a remote shell into them.
hosts_up() {
  need_root "making test hosts"
  a=tz$$a b=tz$$b
  cleanup() { "$SCRIPTS_DIR/testbed/testhosts" down "$a" "$b"; }
  "$SCRIPTS_DIR/testbed/testhosts" up "$a" "$b" || skip "cannot make network namespaces here"
  "$SCRIPTS_DIR/testbed/testhosts" agent "$work/rsh"
}

# firewall RULE: both test hosts drop incoming TCP that RULE matches, and a
# connection gives up after one SYN retry, in 3 s rather than 2 minutes.
firewall() {
  command -v nft >/dev/null || skip "no nft: install nftables"
  for host in "$a" "$b"; do
    ip netns exec "$host" sysctl -qw net.ipv4.tcp_syn_retries=1
    ip netns exec "$host" nft -f - <<<"table inet cut {
      chain input { type filter hook input priority 0; iifname \"eth0\" $1 drop; }; }"
  done
}

# on_hosts NP FLAG...: the command line that starts the program from $a on
# $a and $b, with FLAGs, through REMOTE_SHELL (the test hosts' by default).
on_hosts() {
  local np=$1 remote
  shift
  mapfile -t remote < <(remote_flags "$build" "${REMOTE_SHELL:-$work/rsh}" "$work/hostfile" "$a:$((np / 2))" "${FAR:-$b}:$((np / 2))")
  printf '%q ' "$launcher" -n "$np" "${remote[@]}" "$@" "$program"
}

start_cluster() {
  need_root "a Slurm cluster of its own"
  command -v slurmd >/dev/null || skip "no slurmd: install slurmctld, slurmd, slurm-client and munge"
  cleanup() { "$SCRIPTS_DIR/testbed/slurm-node" stop "$work/cluster"; }
  "$SCRIPTS_DIR/testbed/slurm-node" start "$work/cluster" 12 >/dev/null || fail "the cluster did not start"
  export SLURM_CONF=$work/cluster/slurm.conf
}

# labelled FORM: every line carries a label FORM matches; with rank 3's and
# rank 5's values swapped between their labels the checker names both.
labelled() {
  local v3 v5
  absent "a line without a label" '' <(grep -vE "$1" "$raw")
  mapfile -t by_rank < <(grep -oE '[0-9.e-]+ I.m here$' "$raw" | sort -g)
  v3=${by_rank[3]% I*} v5=${by_rank[5]% I*}
  sed "s/${v3//./\\.} I'm here\$/SWAP/; s/${v5//./\\.} I'm here\$/$v3 I'm here/; s/SWAP\$/$v5 I'm here/" \
    "$raw" | "$TRAPEZOID_CHECK" 11 >"$answer" 2>&1 && fail "swapped labels pass"
  shown "the swap" "labelled rank 3, but .$v5 I.m here. is the line of rank 5"
}

case $row in
  separate-jobs.np4)
    # The other MPI's launcher: every process is a job of one.
    read -r _ suffix _ < <(printf '%s\n' "${mpis[@]}" | grep -v "^$mpi ")
    judge 1 4 "mpiexec$suffix" -n 4 "$probe"
    ones=$(grep -cx 'probe rank=0 size=1' "$raw.err")
    [ "$ones" -ge 2 ] || fail "$ones processes saw a world of one"
    # Open MPI 4.1's singletons race to make one session folder; some lose.
    [ "$ones" = 4 ] || echo "NOTE: $ones of 4 singletons started: $(grep -m1 'mkdir' "$raw.err")"
    shown "the cause" "^cause: separate-jobs: every process ran as a job of its own \($ones copies"
    for each in "${mpis[@]}"; do
      read -r _ suffix each_pmi <<<"$each"
      shown "what to start with" "^cause: separate-jobs: .*mpiexec$suffix or srun --mpi=$each_pmi"
    done ;;
  pmi-mismatch.np4)
    # srun with no PMI, then with the other MPI's. MPICH's processes each
    # run alone and say nothing of it; Open MPI's say that the PMI does not
    # fit, and 4.1's do not start, while 5.0's run alone under pmi2 and say
    # nothing under none.
    start_cluster
    other=$(printf '%s\n' "${mpis[@]}" | awk -v mine="$pmi" '$3 != mine { print $3; exit }')
    said=0
    for flavour in none "$other"; do
      judge 1 4 srun --mpi="$flavour" -n 4 "$probe"
      if grep -q '^cause: pmi-mismatch: ' "$answer"; then
        first_cause 4 'pmi-mismatch: the launcher serves a PMI'
        said=$((said + 1))
      else
        shown "a world of one, --mpi=$flavour" '^probe rank=0 size=1$' "$raw.err"
        shown "the cause, --mpi=$flavour" '^cause: separate-jobs: '
      fi
    done
    [ "$mpi" = mpich ] || [ "$said" -gt 0 ] || fail "Open MPI said nothing of the PMI" ;;
  other-count.np4)
    judge 1 5 "$launcher" -n 4 "$program"
    "$TRAPEZOID_CHECK" 4 "$raw" >/dev/null || fail "the job's output is not right for 4 processes"
    shown "the cause" '^cause: other-count: the output is right for 4 processes, not 5: ' ;;
  no-output.hosts.np4)
    hosts_up
    connect() { ip netns exec "$b" timeout 10 bash -c "</dev/tcp/$a/9" 2>&1; }
    shown "a connection refused before" "refused" <(connect)
    firewall "meta l4proto tcp"
    shown "a connection timed out after" "timed out" <(connect)
    judge 1 4 "$SCRIPTS_DIR/testbed/testhosts" rsh "$a" "$(on_hosts 4)"
    shown "the cause" '^cause: no-output: '
    # Open MPI says that it lost a connection; MPICH says nothing by the deadline.
    [ "$mpi" = mpich ] || shown "the launcher's error" '^cause: (unreachable-peers|launcher-error): ' ;;
  missing-library.np2)
    # A copy of the program whose MPI library is renamed away, as on a node
    # that lacks the MPI it was built with.
    lib=$(readelf -d "$program" | sed -n 's/.*Shared library: \[\(libmpi[^]]*\)\]/\1/p' | head -1)
    [ -n "$lib" ] || fail "no MPI library in $program"
    LC_ALL=C sed "s/${lib//./\\.}/${lib/mpi/MPI}/" "$program" >"$work/trapezoid"
    chmod +x "$work/trapezoid"
    judge 1 2 "$launcher" -n 2 "$work/trapezoid"
    first_cause 2 "missing-library: the loader could not find ${lib/mpi/MPI}"
    [ "$mpi" != mpich ] || every_time "missing-library: " "$launcher" -n 2 "$work/trapezoid" ;;
  no-program.np2)
    judge 1 2 "$launcher" -n 2 "$work/nowhere/trapezoid"
    first_cause 2 "no-program: the launcher could not find or execute $work/nowhere/trapezoid on $(hostname)"
    [ "$mpi" != mpich ] || every_time "no-program: " "$launcher" -n 2 "$work/nowhere/trapezoid" ;;
  remote-shell.hosts.np4)
    hosts_up
    command -v ssh >/dev/null || skip "no ssh: install openssh-client"
    # $b runs no ssh server; no name resolves but the test hosts'.
    shown "ssh refused" "Connection refused" <(ip netns exec "$a" ssh -o BatchMode=yes "$b" true 2>&1 </dev/null)
    ! ip netns exec "$a" getent hosts "nowhere$$" || fail "nowhere$$ resolves"
    for FAR in "$b" "nowhere$$"; do
      judge 1 4 "$SCRIPTS_DIR/testbed/testhosts" rsh "$a" "$(REMOTE_SHELL=ssh on_hosts 4)"
      first_cause 4 "remote-shell: the launcher's remote shell could not reach $FAR: "
    done ;;
  root-refused.np2)
    need_root "Open MPI's refusal of root"
    judge 1 2 env -u OMPI_ALLOW_RUN_AS_ROOT -u OMPI_ALLOW_RUN_AS_ROOT_CONFIRM "$launcher" -n 2 "$program"
    first_cause 2 "root-refused: " ;;
  session-dir.np2)
    # A TMPDIR the user cannot write, where Open MPI makes its session
    # directory; read-only for root, whom modes do not stop.
    mkdir "$work/tmp" && chmod 555 "$work/tmp"
    unwritable=(env TMPDIR="$work/tmp") error="Permission denied"
    [ "$(id -u)" != 0 ] || unwritable=(unshare --mount sh -c 'mount --bind -o ro "$1" "$1" && shift && exec "$@"' sh
      "$work/tmp" "${unwritable[@]}") error="Read-only file system"
    shown "the TMPDIR unwritable" "$error" <("${unwritable[@]}" sh -c 'mkdir "$TMPDIR/x"' 2>&1)
    judge 1 2 "${unwritable[@]}" "$launcher" -n 2 "$program"
    first_cause 2 "session-dir: Open MPI could not make '$work/tmp/[^']+' \\('$error'\\) .*TMPDIR" ;;
  unreachable-peers.hosts.np4)
    # A firewall that lets the launcher through but not the processes,
    # whose ports are set; UCX takes hosts with one boot id for one machine.
    hosts_up
    export TESTHOSTS_OWN_BOOT_ID=1
    firewall "tcp dport 30000-30100"
    shown "a port of the processes dropped" "timed out" <(ip netns exec "$b" timeout 10 bash -c "</dev/tcp/$a/30000" 2>&1)
    ports=(-genv UCX_TCP_PORT_RANGE 30000-30100 -genv MPIR_CVAR_CH3_PORT_RANGE 30000:30100)
    [ "$mpi" = mpich ] || ports=(--mca btl_tcp_port_min_v4 30000 --mca btl_tcp_port_range_v4 100)
    # Open MPI warns 3.5 s in (one SYN retry), then hangs: room for a slow machine.
    deadline=$((10 * TIME_SCALE))
    judge 1 4 "$SCRIPTS_DIR/testbed/testhosts" rsh "$a" "$(on_hosts 4 "${ports[@]}")"
    if [ "$mpi" = mpich ] && ! ldd "$program" | grep -q libucp; then
      # MPICH over ch3 (Debian's 32-bit builds) hangs in the reduction and
      # says nothing of it, within 60 s too.
      shown "the cause" '^cause: no-reduction: '
      absent "a cause from what was said" '^cause: (unreachable-peers|launcher-error)' "$answer"
      echo "NOTE: MPICH over ch3 said nothing of the dropped connections by the deadline"
    else
      first_cause 4 "unreachable-peers: .* \(on [^)]*($a|$b)"
    fi ;;
  missing-ranks.np4)
    judge 1 4 env TRAPEZOID_PROBE_STOP_EARLY_RANK=2 "$launcher" -n 4 "$probe"
    reached 0 1 3
    shown "rank 2 stopped before its share" '^probe rank=2 TRAPEZOID_PROBE_STOP_EARLY_RANK$' "$raw.err"
    shown "the cause" '^cause: missing-ranks: rank 2 never reported .*stopped at the deadline$' ;;
  no-reduction.stop.np4 | no-reduction.kill.np4)
    signal=STOP
    [ "$row" = no-reduction.stop.np4 ] || signal=KILL
    judge 1 4 env "TRAPEZOID_PROBE_${signal}_RANK=2" "$launcher" -n 4 "$probe"
    reached 0 1 2 3
    shown "rank 2 $signal" "^probe rank=2 TRAPEZOID_PROBE_${signal}_RANK\$" "$raw.err"
    shown "the cause" '^cause: no-reduction: every rank.s line is there and the total never came' ;;
  launcher-error.np3)
    # Two slots for three processes, and Open MPI told not to oversubscribe.
    judge 1 3 env -u OMPI_MCA_rmaps_base_oversubscribe -u PRTE_MCA_rmaps_default_mapping_policy \
      mpiexec.openmpi --host localhost:2 -n 3 "$probe"
    absent "a process started" '^probe' "$raw.err"
    shown "the cause" "cause: no-output: .* cause: launcher-error: .* said 'There are not enough slots available in the system to satisfy the 3'" <(tr '\n' ' ' <"$answer") ;;
  labels.np11)
    forms=('--tag-output|^\[1,[0-9]+\]<stdout>: ?')
    [ "$mpi" = openmpi ] || forms=('-l|^\[[0-9]+\] ' '-prepend-rank|^\[[0-9]+\] ')
    for form in "${forms[@]}"; do
      judge 0 11 "$launcher" "${form%%|*}" -n 11 "$program"
      labelled "${form#*|}"
    done ;;
  labels.srun.np11)
    start_cluster
    judge 0 11 srun --label --mpi="$pmi" -n 11 "$program"
    labelled '^ ?[0-9]+: ' ;;
  *) fail "no row $row" ;;
esac
