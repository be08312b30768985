#!/usr/bin/env bash
# full_device.sh PATTERN COMMAND...: with standard output on /dev/full the
# job must fail, with a message on standard error that matches PATTERN.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

pattern=$1
shift
[ -w /dev/full ] || skip "no /dev/full on this machine"
err=$work/err
status=0
launch /dev/full "$err" "$@" || status=$?
cat "$err" >&2
[ "$status" != 0 ] || fail "exit status 0 with standard output on /dev/full"
case $status in 124 | 137) fail "timed out" ;; esac
grep -qE "$pattern" "$err" || fail "no message on standard error that matches '$pattern'"
echo "exit status $status, message: $(grep -E "$pattern" "$err" | head -1)"
