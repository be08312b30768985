# shellcheck shell=bash
# Shared by the test scripts: how a job is started, what its output must be,
# and how a test fails or skips.

# Under emulation every deadline stretches by this factor.
TIME_SCALE=${TRAPEZOID_TIME_SCALE:-1}
LAUNCH_TIMEOUT=${LAUNCH_TIMEOUT:-$((30 * TIME_SCALE))}
KILL_DEADLINE=$((10 * TIME_SCALE))
TESTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SCRIPTS_DIR=$(cd "$TESTS_DIR/../scripts" && pwd)
# shellcheck source=../scripts/lib/launcher.sh
. "$SCRIPTS_DIR/lib/launcher.sh"

# Every test works in a folder of its own, which daemons and ordinary users
# may enter; it goes at exit, after whatever a test's `cleanup` takes down.
work=$(mktemp -d)
chmod 755 "$work"
cleanup() { :; }
trap 'cleanup; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# CTest reads exit status 77 as skipped.
skip() {
  echo "SKIP: $*" >&2
  exit 77
}

need_root() {
  [ "$(id -u)" = 0 ] || skip "$1 needs root"
}

# launch OUT ERR COMMAND...: runs a job with a deadline and no input; the
# exit status is the job's (124 when the deadline passed, 137 when it took
# SIGKILL to end it).
launch() {
  local out=$1 err=$2
  shift 2
  timeout --kill-after=5 "$LAUNCH_TIMEOUT" "$@" </dev/null >"$out" 2>"$err"
}

# launch_ok OUT ERR WHERE COMMAND...: launch, and fail unless it exits 0.
launch_ok() {
  local out=$1 err=$2 where=$3 status=0
  shift 3
  launch "$out" "$err" "$@" || status=$?
  [ "$status" = 0 ] || { cat "$err" "$out" >&2; fail "$where: exit status $status"; }
}

# check_output NP OUT WHERE: the output must be exactly right for NP
# processes, as the checker the project installs judges it, and end its
# last line.
check_output() {
  [ -z "$(tail -c 1 "$2")" ] || fail "$3: output does not end a line"
  "$TRAPEZOID_CHECK" "$1" "$2" >&2 || fail "$3: trapezoid-check $1 rejects the output"
}

# reaches FROM TO: from test host FROM, a connection to a closed port of
# test host TO is refused, not lost.
reaches() {
  ip netns exec "$1" timeout 2 bash -c "exec 3<>/dev/tcp/$2/9" 2>&1 | grep -q 'Connection refused'
}

# expect_ranks_on ERR HOST...: the probe's records in ERR show ranks on every HOST.
expect_ranks_on() {
  local err=$1 host
  shift
  for host in "$@"; do
    grep -q "^probe rank=.* host=$host$" "$err" || { cat "$err" >&2; fail "no rank ran on $host"; }
  done
  echo "ranks per host: $(sed -n 's/^probe rank=.* host=//p' "$err" | sort | uniq -c | paste -sd ' ')"
}

# test_image BUILD [podman]: where install.sh leaves the root it installed
# BUILD's package into, for the container tests: a folder that ordinary
# users may enter, or the name podman knows it by.
test_image() {
  local id
  id=$(printf '%s' "$(cd "$1" && pwd)" | cksum | cut -d ' ' -f 1)
  if [ "${2:-}" = podman ]; then echo "localhost/trapezoid-test-$id"; else echo "${TMPDIR:-/tmp}/trapezoid-image-$id"; fi
}

# A mark in the environment of every process a launch starts, so that the
# test can tell whether any is still alive.
RUN_MARK=TRAPEZOID_TEST_RUN=$$-$RANDOM

marked_processes() {
  grep -lzx "$RUN_MARK" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# Waits a few seconds for the marked processes to end; fails, and kills
# them, if any outlive that.
expect_none_left() {
  local pids
  for _ in $(seq 50); do
    pids=$(marked_processes)
    [ -z "$pids" ] && return 0
    sleep 0.1
  done
  ps -o pid,stat,args -p "$(echo $pids | tr ' ' ,)" >&2 || true
  kill -9 $pids 2>/dev/null
  fail "processes left behind: $pids"
}

# launcher_fault NP STATUS LATE: names the known launcher fault that a kill
# run shows, from its exit status, whether it outlived the deadline (LATE
# yes or no), what the launcher said ($work/err) and which processes were
# left at the deadline ($work/left); fails when it shows none.
#
# Open MPI's launcher now and then hangs in its own shutdown once every rank
# is gone (with 4 processes on 2 cores, 1 to 4 runs in 150 under 4.1 with
# PMIx 4, 2 to 5 under 5.0 with PRRTE; it crashes in about as many, which is
# loud enough).
#
# MPICH's proxy on the killed rank's host ends that host's ranks as soon as
# the killed one's pipes close, and reports every rank it reaps after that
# as ended with status 0. Under 4.2 the killed rank is now and then among
# them (1 run in 20 to 40): with every rank on that host the launcher exits
# 0; across hosts it waits on the other hosts' ranks, which wait on the dead
# one, until a signal makes it say it cannot pass the signal on.
launcher_fault() {
  local np=$1 status=$2 late=$3
  if [ "$late" = no ]; then
    [ "$status" = 0 ] || return 1
    echo "the launcher took it for ended normally and exited with status 0"
  elif [ ! -s "$work/left" ]; then
    return 1
  elif ! grep -qx trapezoid_probe "$work/left"; then
    echo "every rank was gone, but the launcher hung in its shutdown"
  elif [ "$(grep -cx trapezoid_probe "$work/left")" -lt $((np - 1)) ] &&
    grep -q 'unable to send signal downstream' "$work/err"; then
    echo "the launcher took it for ended normally, ended its host's ranks and waited on the others"
  else
    return 1
  fi
}

# expect_killed RANK NP COMMAND...: runs an NP-process probe job in which
# RANK dies by SIGKILL inside the reduction; the launcher must fail within
# KILL_DEADLINE seconds (10 but under emulation) and leave no process of the
# job behind. Every rank's probe record must be there first: a launcher
# that never started the job fails too. A run that shows a known launcher
# fault is said and tried again, up to three runs in all.
expect_killed() {
  local rank=$1 np=$2 status started elapsed_ms attempt r watcher late fault
  shift 2
  for attempt in 1 2 3; do
    status=0
    started=$(date +%s%N)
    # The deadline's own exit status is no sign: after --kill-after it is
    # 137, as for a launcher that reports a SIGKILL.
    rm -f "$work/left"
    # What is left just before the deadline tells a launcher that hangs once
    # the job is gone from a job that was never brought down.
    (sleep "$KILL_DEADLINE" && for pid in $(marked_processes); do cat "/proc/$pid/comm"; done >"$work/left") >/dev/null 2>&1 &
    watcher=$!
    LAUNCH_TIMEOUT=$KILL_DEADLINE.5 launch "$work/out" "$work/err" \
      env "$RUN_MARK" TRAPEZOID_PROBE_KILL_RANK="$rank" "$@" || status=$?
    kill "$watcher" 2>/dev/null
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    late=no
    [ "$elapsed_ms" -lt $((KILL_DEADLINE * 1000)) ] || { late=yes; cat "$work/err" >&2; }
    fault=$(launcher_fault "$np" "$status" "$late") || break
    [ "$attempt" -lt 3 ] || break
    expect_none_left
    echo "NOTE: rank $rank was killed; $fault; again" >&2
  done
  [ "$late" = no ] || fail "rank $rank was killed and the launcher did not end within $KILL_DEADLINE s"
  for r in $(seq 0 $((np - 1))); do
    grep -q "^probe rank=$r call=1 " "$work/err" ||
      { cat "$work/err" >&2; fail "rank $r never reached the reduction: the job did not run"; }
  done
  [ "$status" != 0 ] || fail "rank $rank was killed, yet the launcher exited with status 0"
  expect_none_left
  echo "rank $rank killed: launcher exit status $status after $elapsed_ms ms, no process left"
}
