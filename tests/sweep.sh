#!/usr/bin/env bash
# sweep.sh BUILD slurm|hostfile: trapezoid-sweep of every pair inside a Slurm
# allocation of five nodes on test hosts, or with --hostfile over three test
# hosts and the MPI's own launcher: healthy first, then one fault a row,
# shown in place first. The sweep must name exactly the faulty node or link
# (on Slurm a link between nodes that are not neighbours in the
# allocation's order), and leave no process behind.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1 mode=$2 mpi=$(build_fact "$1" TRAPEZOID_MPI) pmi=$(build_fact "$1" TRAPEZOID_PMI)
need_root "test hosts and their firewalls"
tools=(ip nft)
[ "$mode" != slurm ] || tools+=(salloc slurmd slurmctld munged)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || skip "no $tool: install iproute2, nftables and, for Slurm, its daemons"
done
testhosts=$SCRIPTS_DIR/testbed/testhosts
# As separate machines are: else MPICH's UCX passes messages between test
# hosts through shared memory, and no firewall between them is in its way.
export TESTHOSTS_OWN_BOOT_ID=1
a=tz$$a b=tz$$b c=tz$$c d=tz$$d e=tz$$e
# The checker's causes for a job across a link that drops all.
hung='no end within [0-9]+ s; (no-output|missing-ranks|no-reduction): '
if [ "$mode" = slurm ]; then
  hosts=("$a" "$b" "$c" "$d" "$e") before=(salloc -N 5) after=()
  # Row: name, fault, suspects, deadline, what the evidence says (a regular
  # expression). Slurm says it cannot reach a node after 10 s of trying.
  rows=("healthy||" "link|drop $b $d|link $b $d||$hung" "prolog|break $e|node $e||no-output: "
    "down|stop $e|node $e|15|no-output: .*launcher-error: .*'srun: error: ")
  # The plant for a node on which the MPI cannot start: the task prolog
  # names a transport that does not exist, for MPICH over UCX (64-bit) or
  # ch3 (32-bit x86, where Debian has no UCX), and for Open MPI.
  printf '#!/bin/sh\n[ ! -e %q/break-"$SLURMD_NODENAME" ] || %s\n' "$work" \
    "printf 'export UCX_TLS=none-such\nexport MPIR_CVAR_NEMESIS_NETMOD=none-such\nexport OMPI_MCA_pml=none-such\n'" \
    >"$work/prolog"
  chmod 755 "$work/prolog"
  mkdir "$work/cluster" && echo "TaskProlog=$work/prolog" >"$work/cluster/site.conf"
  cleanup() { "$SCRIPTS_DIR/testbed/slurm-node" stop "$work/cluster"; }
  "$SCRIPTS_DIR/testbed/slurm-node" start "$work/cluster" 8 "${hosts[@]}" >/dev/null || fail "the cluster did not start"
  export SLURM_CONF=$work/cluster/slurm.conf
else
  hosts=("$a" "$b" "$c") before=() after=(--hostfile "$work/hosts" --rsh "$work/rsh")
  rows=("healthy||" "link|drop $b $c|link $b $c||$hung")
  cleanup() { "$testhosts" down "${hosts[@]}"; }
  "$testhosts" up "${hosts[@]}" || fail "no test hosts"
  printf '%s\n' "${hosts[@]}" >"$work/hosts"
  "$testhosts" agent "$work/rsh"
fi

# Each plant shows it is in place.
plant() {
  case $1 in
    drop)
      ip netns exec "$2" nft -f - <<<"table inet sweep { chain in { type filter hook input priority 0; ip saddr $3 drop; }
        chain out { type filter hook output priority 0; ip daddr $3 drop; }; }" || fail "no firewall in $2"
      reaches "$2" "$a" && ! reaches "$2" "$3" || fail "$2 does not drop $3 alone" ;;
    break)
      touch "$work/break-$2"
      ! "$testhosts" rsh "$a" "$(printf '%q ' timeout 30 srun -N 1 -n 2 -w "$2" --mpi="$pmi" "$build/trapezoid")" \
        </dev/null 2>/dev/null | grep -q "I'm here" || fail "the task prolog does not break the MPI on $2" ;;
    stop)
      pid=$(cat "$work/cluster/slurmd-$2.pid") && kill "$pid" && rm -f "$work/cluster/slurmd-$2.pid" ||
        fail "no slurmd of $2 to stop"
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
      ! kill -0 "$pid" 2>/dev/null || fail "slurmd of $2 still runs" ;;
  esac
}
# Before a row runs again: a node whose slurmd was stopped is down for the
# controller by then, and an allocation of all the nodes would wait for it.
replant() {
  [ "$1" = stop ] || return 0
  "$testhosts" rsh "$2" "$(printf '%q ' slurmd -f "$work/cluster/slurm.conf")" || fail "slurmd of $2 does not start"
  for _ in $(seq 100); do
    [ "$("$testhosts" rsh "$a" "sinfo -h -n $2 -o %T" 2>/dev/null)" != idle ] || { plant "$@"; return; }
    sleep 0.2
  done
  fail "$2 is not idle again: $("$testhosts" rsh "$a" "sinfo -h -n $2 -o %T" 2>&1)"
}
unplant() {
  [ "$1" != drop ] || ip netns exec "$2" nft delete table inet sweep
  rm -f "$work/break-$2"
}

for row in "${rows[@]}"; do
  IFS='|' read -r name fault expected deadline evidence <<<"$row"
  deadline=$((${deadline:-10} * TIME_SCALE))
  read -ra words <<<"$fault"
  [ -z "$fault" ] || plant "${words[@]}"
  mkdir -p "$work/tmp"
  for attempt in 1 2 3 4 5; do
    [ "$attempt" = 1 ] || [ -z "$fault" ] || replant "${words[@]}"
    status=0 started=$SECONDS
    LAUNCH_TIMEOUT=$((deadline * 8)) launch "$work/out" "$work/err" env "$RUN_MARK" TMPDIR="$work/tmp" "$testhosts" rsh "$a" \
      "$(printf '%q ' "${before[@]}" "$build/trapezoid-sweep" --deadline "$deadline" --junit "$work/junit.xml" "${after[@]}")" ||
      status=$?
    cat "$work/err" "$work/out"
    named=$(sed -n 's/^suspect \([a-z]* [^:]*\):.*/\1/p' "$work/out")
    # Open MPI under srun now and then hangs in MPI_Init in a step on part
    # of an allocation (docs/sweep.md), a row in four or so, even twice in
    # a row: links or a whole job beyond those expected are said, with
    # what slurmd logged of it, and the row run again.
    extra=$(grep '^suspect ' "$work/out" | grep -v "^suspect ${expected:-none}:") || break
    [ "$mode/$mpi" = slurm/openmpi ] && [ "$attempt" -lt 5 ] &&
      ! grep -qv -e '^suspect link ' -e '^suspect whole job: ' <<<"$extra" || break
    fences=$(cat "$work"/cluster/slurmd-*.log | grep -c 'Dumping collective state')
    printf 'NOTE: Open MPI under srun hung beyond the fault, as it does now and then (%s); again:\n%s\n' \
      "slurmd's logs so far: $fences PMIx fence(s) never completed" "$extra" >&2
  done
  if [ -z "$expected" ]; then
    # Every node, every pair, and the whole job.
    n=${#hosts[@]}
    [ "$status" = 0 ] && grep -q "tests=\"$((n + n * (n - 1) / 2 + 1))\" failures=\"0\" skipped=\"0\"" "$work/junit.xml" ||
      fail "$name: exit status $status, $(grep -o 'tests=.*skipped="[0-9]*"' "$work/junit.xml")"
  else
    [ "$status" = 1 ] && [ "$named" = "$expected" ] || fail "$name: exit status $status, suspects: ${named//$'\n'/; }"
    grep '^suspect ' "$work/out" | grep -qE "$evidence" || fail "$name: the evidence does not say '$evidence'"
  fi
  if [ "$name" = down ]; then
    # A job that hung once and passed when run again (Open MPI under srun)
    # costs its wave one more deadline.
    hung=$(grep -c 'failed once (no end' "$work/out")
    [ "$hung" = 0 ] || echo "NOTE: $hung job(s) hung once, then passed; $deadline s more each"
    [ $((SECONDS - started)) -le $((deadline * (1 + hung) + 15)) ] || fail "down: $((SECONDS - started)) s"
  fi
  expect_none_left
  [ -z "$(ls "$work/tmp")" ] || fail "$name: the sweep left $(ls "$work/tmp")"
  [ -z "$fault" ] || unplant "${words[@]}"
  echo "== $name: exit status $status, $((SECONDS - started)) s, ${named:-no suspect}"
done
