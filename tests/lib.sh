# Shared by the test scripts: how a job is started, what its output must be,
# and how a test fails or skips.

LAUNCH_TIMEOUT=${LAUNCH_TIMEOUT:-30}
EXPECTED_TOTAL=0.333333
TESTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SCRIPTS_DIR=$(cd "$TESTS_DIR/../scripts" && pwd)
. "$SCRIPTS_DIR/launcher.sh"

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

# expected_reports NP: the report lines of an NP-process job, from the exact
# trapezoid sum of x^2 over [a, b] with width h: (b^3 - a^3)/3 + h^2 (b - a)/6.
expected_reports() {
  awk -v np="$1" 'BEGIN {
    n = 100000; h = 1 / n; common = int(n / np); extra = n % np
    for (r = 0; r < np; r++) {
      count = common + (r < extra ? 1 : 0)
      first = r * common + (r < extra ? r : extra)
      a = first * h; b = (first + count) * h
      printf "%g I'\''m here\n", (b^3 - a^3) / 3 + h * h * (b - a) / 6
    }
  }' | sort
}

# check_output NP OUT WHERE: one whole report line per process with the
# expected values, the total once on a line of its own, nothing else.
check_output() {
  local np=$1 out=$2 where=$3 totals lines
  [ -s "$out" ] && [ -z "$(tail -c 1 "$out")" ] || fail "$where: output does not end a line"
  diff <(expected_reports "$np") <(grep -F "I'm here" "$out" | sort) >&2 ||
    fail "$where: report lines differ (< expected, > seen)"
  totals=$(grep -cxF "$EXPECTED_TOTAL" "$out" || true)
  [ "$totals" = 1 ] || fail "$where: total $EXPECTED_TOTAL on a line of its own $totals times"
  lines=$(wc -l <"$out")
  [ "$lines" = $((np + 1)) ] || { cat "$out" >&2; fail "$where: $lines lines, not $((np + 1))"; }
}

# expect_ranks_on ERR HOST...: the probe's records in ERR show ranks on every HOST.
expect_ranks_on() {
  local err=$1 host
  shift
  for host in "$@"; do
    grep -q "^probe rank=.* host=$host$" "$err" || { cat "$err" >&2; fail "no rank ran on $host"; }
  done
  echo "ranks per host:" $(sed -n 's/^probe rank=.* host=//p' "$err" | sort | uniq -c)
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

# expect_killed RANK NP COMMAND...: runs an NP-process probe job in which
# RANK dies by SIGKILL inside the reduction; the launcher must fail within
# 10 s and leave no process of the job behind. Every rank's probe record
# must be there first: a launcher that never started the job fails too.
#
# Open MPI 4.1's launcher, with PMIx 4, now and then reports the killed rank
# and then hangs in its own PMIx shutdown (about 3 runs in 100 with 4
# processes on 2 cores; it crashes in about as many, which is loud enough).
# Such a hang, with the report out and every rank gone, is said and the run
# tried again, up to three runs in all.
expect_killed() {
  local rank=$1 np=$2 status started elapsed_ms attempt r
  shift 2
  for attempt in 1 2 3; do
    status=0
    started=$(date +%s%N)
    # The deadline's own exit status is no sign: after --kill-after it is
    # 137, as for a launcher that reports a SIGKILL.
    LAUNCH_TIMEOUT=10 launch "$work/out" "$work/err" \
      env "$RUN_MARK" TRAPEZOID_PROBE_KILL_RANK="$rank" "$@" || status=$?
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    [ "$elapsed_ms" -ge 10000 ] || break
    cat "$work/err" >&2
    if [ "$attempt" -lt 3 ] && grep -q "exited on signal 9" "$work/err"; then
      expect_none_left
      echo "NOTE: the launcher reported rank $rank killed, then hung in its shutdown; again" >&2
      continue
    fi
    fail "rank $rank was killed and the launcher did not end within 10 s"
  done
  for r in $(seq 0 $((np - 1))); do
    grep -q "^probe rank=$r call=1 " "$work/err" ||
      { cat "$work/err" >&2; fail "rank $r never reached the reduction: the job did not run"; }
  done
  [ "$status" != 0 ] || fail "rank $rank was killed, yet the launcher exited with status 0"
  expect_none_left
  echo "rank $rank killed: launcher exit status $status after $elapsed_ms ms, no process left"
}
