#!/usr/bin/env bash
# probe.sh NP COMMAND...: runs the probe build and checks what each process
# hands to MPI_Reduce, to the last bit. Values that differ here mean the
# build contracts into FMA or keeps wider intermediates.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

np=$1
shift
# Send values of ranks 0, 1, ..., then the total rank 0 receives ("-" where
# the reduction's order of addition may change the last bits).
case $np in
  1) sends="0x1.555555559ea28p-2" total=0x1.555555559ea28p-2 ;;
  2) sends="0x1.555555567a8a5p-5 0x1.2aaaaaaacf53ap-2" total=0x1.555555559ea4fp-2 ;;
  3) sends="0x1.9491469328e56p-7 0x1.61fa74aaf121p-4 0x1.e0645bec92217p-3" total=- ;;
  *) fail "no expected values for $np processes" ;;
esac

launch_ok "$work/out" "$work/err" "$*" "$@"
sed -i 's/ host=[^ ]*$//' "$work/err"

rank=0
for send in $sends; do
  grep -xF "probe rank=$rank call=1 count=1 datatype=MPI_DOUBLE op=MPI_SUM root=0 comm=MPI_COMM_WORLD send=$send" \
    "$work/err" >/dev/null || { cat "$work/err" >&2; fail "rank $rank: no reduction with send=$send"; }
  rank=$((rank + 1))
done
calls=$(grep -c '^probe rank=[0-9]* call=' "$work/err" || true)
[ "$calls" = "$np" ] || { cat "$work/err" >&2; fail "$calls calls of MPI_Reduce, not $np"; }
if [ "$total" != - ]; then
  grep -xF "probe rank=0 total=$total" "$work/err" >/dev/null ||
    { cat "$work/err" >&2; fail "rank 0 did not receive total=$total"; }
fi
grep '^probe' "$work/err"
