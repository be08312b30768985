# hosts.sh FLAVOUR LAUNCHER NP PROBE [KILL_RANK]: runs the probe build across
# two test hosts on this machine with each implementation's own remote
# launcher; checks the output and that ranks ran on both hosts, or, with
# KILL_RANK, that killing that rank brings the job down.
. "$(dirname "$0")/lib.sh"

flavour=$1 launcher=$2 np=$3 probe=$4 kill_rank=${5:-}
need_root "making test hosts"
command -v ip >/dev/null || skip "making test hosts needs iproute2's ip"

# Unique to the run: two hosts with one name would share Open MPI's
# shared-memory segments.
host_a=tz$$a host_b=tz$$b
cleanup() { "$SCRIPTS_DIR/testhosts" down "$host_a" "$host_b"; }
"$SCRIPTS_DIR/testhosts" up "$host_a" "$host_b" 2>"$work/up.err" ||
  skip "cannot make network namespaces here: $(cat "$work/up.err")"

"$SCRIPTS_DIR/testhosts" agent "$work/rsh"
slots=$(((np + 1) / 2))
remote_launch "$flavour" "$work/rsh" "$work/hostfile" "$host_a:$slots" "$host_b:$slots" || fail "no remote launch for $flavour"
job=$(printf '%q ' "$launcher" -n "$np" "${remote[@]}" "$probe")

if [ -n "$kill_rank" ]; then
  expect_killed "$kill_rank" "$np" "$SCRIPTS_DIR/testhosts" rsh "$host_a" "$job"
  exit
fi

launch_ok "$work/out" "$work/err" "$job" env "$RUN_MARK" "$SCRIPTS_DIR/testhosts" rsh "$host_a" "$job"
check_output "$np" "$work/out" "$np processes on $host_a and $host_b"
expect_ranks_on "$work/err" "$host_a" "$host_b"
expect_none_left
