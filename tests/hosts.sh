#!/usr/bin/env bash
# hosts.sh BUILD NP PROBE [KILL_RANK]: runs the probe build across
# two test hosts on this machine with each MPI's own remote
# launcher; checks the output and that ranks ran on both hosts, or, with
# KILL_RANK, that killing that rank brings the job down.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1 np=$2 probe=$3 kill_rank=${4:-}
mpi=$(build_fact "$build" TRAPEZOID_MPI) launcher=$(build_fact "$build" TRAPEZOID_MPIEXEC)
need_root "making test hosts"
command -v ip >/dev/null || skip "making test hosts needs iproute2's ip"

# Unique to the run: two hosts with one name would share Open MPI's
# shared-memory segments.
host_a=tz$$a host_b=tz$$b
cleanup() { "$SCRIPTS_DIR/testbed/testhosts" down "$host_a" "$host_b"; }
"$SCRIPTS_DIR/testbed/testhosts" up "$host_a" "$host_b" 2>"$work/up.err" ||
  skip "cannot make network namespaces here: $(cat "$work/up.err")"

"$SCRIPTS_DIR/testbed/testhosts" agent "$work/rsh"
slots=$(((np + 1) / 2))
mapfile -t remote < <(remote_flags "$build" "$work/rsh" "$work/hostfile" "$host_a:$slots" "$host_b:$slots")
[ ${#remote[@]} -gt 0 ] || fail "no remote launch for $mpi"
job=$(printf '%q ' "$launcher" -n "$np" "${remote[@]}" "$probe")

if [ -n "$kill_rank" ]; then
  expect_killed "$kill_rank" "$np" "$SCRIPTS_DIR/testbed/testhosts" rsh "$host_a" "$job"
  exit
fi

launch_ok "$work/out" "$work/err" "$job" env "$RUN_MARK" "$SCRIPTS_DIR/testbed/testhosts" rsh "$host_a" "$job"
check_output "$np" "$work/out" "$np processes on $host_a and $host_b"
expect_ranks_on "$work/err" "$host_a" "$host_b"
expect_none_left
