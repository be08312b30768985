# Shared by the test scripts: how a job is started, and how a test fails.

# Open MPI refuses root unless told twice; the tests also run 8 processes on
# 2 cores, which it refuses without oversubscription.
if [ "$(id -u)" = 0 ]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi
export OMPI_MCA_rmaps_base_oversubscribe=1

LAUNCH_TIMEOUT=${LAUNCH_TIMEOUT:-30}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

skip() {
  echo "SKIP: $*" >&2
  exit 77
}

# launch OUT ERR COMMAND...: runs a job with a deadline and no input; the
# exit status is the job's (124 when the deadline passed).
launch() {
  local out=$1 err=$2
  shift 2
  timeout --kill-after=5 "$LAUNCH_TIMEOUT" "$@" </dev/null >"$out" 2>"$err"
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

EXPECTED_TOTAL=0.333333
