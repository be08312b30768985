# full_device.sh COMMAND...: with standard output on /dev/full the job must
# fail and say why on standard error.
. "$(dirname "$0")/lib.sh"

[ -w /dev/full ] || skip "no /dev/full on this machine"
err=$(mktemp)
trap 'rm -f "$err"' EXIT
status=0
launch /dev/full "$err" "$@" || status=$?
cat "$err" >&2
[ "$status" != 0 ] || fail "exit status 0 with standard output on /dev/full"
[ "$status" != 124 ] || fail "timed out"
grep -q "cannot write standard output" "$err" || fail "no message on standard error"
echo "exit status $status, message: $(cat "$err")"
