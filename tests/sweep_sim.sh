#!/usr/bin/env bash
# sweep_sim.sh BUILD: trapezoid-sweep on simulated nodes: a launcher stand-in
# on PATH answers at once with a right output, or hangs for one planted pair.
# Every pair of 64 nodes must name that link alone, with valid JUnit, JSON
# and SVG; a pair that hangs only under srun is the launcher's, as is one
# that hangs once under the way not measured reliable, and one that fails
# once as Open MPI's launcher now and then does is the MPI's, but one that
# hangs again by itself after passing slowly the other way is a link's; a
# pair that hangs only in the second of three rounds (--repeat) is a flaky
# link; processes piled on one node stop the sweep; bad input must get exit
# status 2 and one line, never a shell; an interrupted sweep must leave
# nothing behind.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1
for tool in xmllint rsvg-convert python3; do
  command -v "$tool" >/dev/null || skip "no $tool: install libxml2-utils, librsvg2-bin and python3"
done
# The outputs of 1, 2, 3 and 5 processes: no row's whole job of 64 answers
# (the hung pair is in it), and Open MPI 4.1 on 32-bit x86 crashes in
# MPI_Init with 48 processes or more on one host.
"$SCRIPTS_DIR/testbed/simulated" "$work/sim" "$build" 1 2 3 5 || fail "no simulated nodes"
mkdir "$work/tmp"
export PATH=$work/sim/bin:$PATH MARK=$$ HANG=sim05,sim40 TMPDIR=$work/tmp
# The sweep runs as its users run it: as an ordinary user where the suite is
# root and TMPDIR lets others in (the sweeps on real nodes run as root).
as_user=()
if [ "$(id -u)" = 0 ]; then
  chown -R "$(id -u nobody):$(id -g nobody)" "$work" || fail "cannot give $work to nobody"
  as_user=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
  "${as_user[@]}" test -w "$work" || { as_user=() && echo "NOTE: the sweeps run as root: nobody cannot reach $work"; }
fi
nodes=$(printf 'sim%02d,' $(seq 0 63))
nodes=${nodes%,}

# The plant is in place: the pair hangs, its neighbour answers right.
! timeout 1 srun --ntasks=2 --nodelist=sim05,sim40 x 2>/dev/null || fail "the pair sim05,sim40 does not hang"
srun --ntasks=2 --nodelist=sim05,sim41 x | "$TRAPEZOID_CHECK" 2 >/dev/null || fail "sim05,sim41 is not right"

# Row: name, status, what stderr or stdout must say (a regular expression),
# the JUnit counts (empty: none written), SLURM_JOB_NODELIST or a hostfile's
# lines (^ between them), arguments ('@' for the work folder, which may hold
# a blank).
rows=(
  "every-pair|1|^suspect link sim05 sim40: .*no end within 2 s|2081 1 1|$nodes||--deadline 2 --json @/sweep.json"
  "ring|1|^suspect whole job: every node and pair passes|129 1 0|$nodes||--pairs ring --deadline 2"
  "twice|0|^pairs  1 of 1 passed|4 0 0|sim00,sim01,sim00||--deadline 2"
  "wrap|0|each process in 'ch-run /image --'|4 0 0|sim00,sim01||--wrap ch-run~/image~--"
  "alone|0|^whole  all 1 nodes  skip|2 0 1|sim00||--deadline 2"
  "launcher|0|^launcher: srun hung in start-up in 2 of 7 jobs; each passed under mpiexec|7 0 0|sim05,sim40,sim41||--deadline 2"
  "launcher-once|0|^launcher: mpiexec hung or failed in 1 of 7 jobs, each of which passed by itself; it is not the way|7 0 0|sim05,sim40,sim41||--deadline 2 --launch mpiexec"
  "mpi-own|0|^mpi: stand-in failed in itself in 1 of 7 jobs, each of which passed by itself: sim05,sim40: its launcher could not make|7 0 0|sim05,sim40,sim41||--deadline 2"
  "mpi-own-gone|0|^mpi: stand-in failed in itself in 1 of 7 jobs, each of which passed by itself: sim05,sim40: its launcher could not make|7 0 0|sim05,sim40,sim41||--deadline 2"
  "tmpdir-gone|1|^flaky link sim05 sim40: .*: 1 of 2 runs failed \\(session-dir: Open MPI could not make '/scratch/ompi.sim05.0'|7 0 1|sim05,sim40,sim41||--deadline 2"
  "slow-node|1|^slow node sim02: its jobs take 1\\.[5-9][0-9]* s \\(median\\), the others' 0\\.|16 0 1|sim00,sim01,sim02,sim03,sim04||--deadline 10 --slow-seconds 1"
  "slow-link|1|^slow link sim01 sim03: the pair takes 1\\.[5-9]|16 0 1|sim00,sim01,sim02,sim03,sim04||--deadline 10 --slow-seconds 1"
  "lossy-link|1|^flaky link sim01 sim03: the pair fails now and then, .*: 4 of 5 runs failed|16 0 1|sim00,sim01,sim02,sim03,sim04||--deadline 2 --slow-seconds 1"
  "flaky-link|1|^flaky link sim01 sim03: the pair fails now and then, .*: 1 of 2 runs failed \\(no end within 2 s|16 0 1|sim00,sim01,sim02,sim03,sim04||--deadline 2"
  "repeat|1|^flaky link sim01 sim03: the pair fails now and then, .*: 1 of 4 runs failed \\(no end within 2 s|16 0 1|sim00,sim01,sim02,sim03,sim04||--deadline 2 --repeat 3"
  "misplaced|2|asked for 1 process\\(es\\) on each of sim00,sim01, the launch put 2 on sim00||sim00,sim01||"
  "hostfile|0|^pairs  3 of 3 passed|7 0 0||sim00 slots=2^sim01:2 # comment^  sim02^sim00|--rsh @/sim/bin/rsh"
  "semicolon|2|names 'a;touch.*', which no host|||a;touch\$IFS$work/owned|"
  "command|2|names '\\\$\\(touch', which no host|||\$(touch $work/owned)|"
  "quote|2|names '\"a\"', which no host|||\"a\"|"
  "space|2|names 'a b', which no host||sim00,a b||"
  "empty|2|names no host|||# nothing|"
  "deadline-0|2|--deadline must be a whole number of seconds from 1 to 86400, not '0'||sim00||--deadline 0"
  "deadline-word|2|not 'soon'||sim00||--deadline soon"
  "junit|2|cannot write $work/none/j.xml||sim00||--junit @/none/j.xml"
  "svg|2|cannot write $work/none/m.svg||sim00||--svg @/none/m.svg"
  "wrap-blank|2|--wrap needs a command||sim00||--wrap ~"
)
# The stand-in's SAY for Open MPI 4.1's failed mkdir of DIR with ERROR.
mkdir_failed() {
  echo "SAY=A call to mkdir was unable to create the desired directory:\n\n  Directory: $1\n  Error:     $2"
}
for row in "${rows[@]}"; do
  IFS='|' read -r name expected said counts list hosts args <<<"$row"
  unset SLURM_JOB_NODELIST
  extra=(--per-node 1 --junit "$work/junit.xml" --svg "$work/matrix.svg")
  [[ ! $name =~ ^(junit|svg)$ ]] || extra=(--per-node 1)
  if [ -n "$hosts" ] || [ -z "$list" ]; then
    tr '^' '\n' <<<"$hosts" >"$work/hosts"
    extra+=(--hostfile "$work/hosts")
  else
    export SLURM_JOB_NODELIST=$list
  fi
  rm -f "$work/junit.xml" "$work/matrix.svg" "$work/sweep.json"
  read -ra words <<<"$args"
  # '~' is a blank inside one argument.
  words=("${words[@]//\~/ }")
  words=("${words[@]//@/$work}")
  rm -f "$work/launched"
  plants=() findings=1
  rm -rf "$work/sim/once-"*
  case $name in
    launcher) plants=(HANG_UNDER=srun) ;;
    slow-node) plants=(JITTER=1 SLOW=sim02) ;;
    slow-link) plants=(JITTER=1 "SLOW=sim01,sim03") ;;
    flaky-link) plants=(JITTER=1 "HANG=sim01,sim03" ONCE=1) ;;
    # Passes the first round: only a second finds it.
    repeat) plants=(JITTER=1 "HANG=sim01,sim03" ONCE=2) ;;
    # Hangs the way the sweep starts jobs, and is slow the other way.
    lossy-link) plants=(JITTER=1 "HANG=sim01,sim03" HANG_UNDER=srun "SLOW=sim01,sim03") findings=2 ;;
    launcher-once) plants=(HANG_UNDER=mpiexec ONCE=1) ;;
    # Open MPI 4.1's launchers side by side on one host, making and removing
    # its top session directory: the MPI's own; a TMPDIR that is gone is not.
    mpi-own) plants=(ONCE=1 "$(mkdir_failed /tmp/ompi.sim05.0 'File exists')") ;;
    mpi-own-gone) plants=(ONCE=1 "$(mkdir_failed /tmp/ompi.sim05.0/pid.6796 'No such file or directory')") ;;
    tmpdir-gone) plants=(ONCE=1 "$(mkdir_failed /scratch/ompi.sim05.0 'No such file or directory')") ;;
    misplaced) plants=(PILE=1) ;;
  esac
  status=0 started=$(date +%s%N)
  # Every pair of 64 is 2000 jobs: a busy machine needs more than the usual deadline.
  LAUNCH_TIMEOUT=$((90 * TIME_SCALE)) launch "$work/out" "$work/err" env "$RUN_MARK" LAUNCHED="$work/launched" "${plants[@]}" "${as_user[@]}" "$work/sim/kit/trapezoid-sweep" "${extra[@]}" "${words[@]}" ||
    status=$?
  ms=$((($(date +%s%N) - started) / 1000000))
  [ "$status" = "$expected" ] || { cat "$work/err" "$work/out"; fail "$name: exit status $status, not $expected"; }
  grep -qE -- "$said" "$work/err" "$work/out" || { cat "$work/err" "$work/out"; fail "$name: nothing says '$said'"; }
  [ ! -e "$work/owned" ] || fail "$name: a shell ran a host's name"
  [ "$name" != wrap ] || [ "$(sort -u "$work/launched")" = $'ch-run /image -- trapezoid\nuname -n' ] ||
    fail "wrap: the jobs ran $(sort -u "$work/launched" | head -3)"
  if [ -n "$counts" ]; then
    read -r tests failures skipped <<<"$counts"
    grep -q "tests=\"$tests\" failures=\"$failures\" skipped=\"$skipped\"" "$work/junit.xml" ||
      fail "$name: JUnit $(grep -o 'tests=.*skipped="[0-9]*"' "$work/junit.xml"), not $counts"
    xmllint --noout "$work/junit.xml" || fail "$name: the JUnit file is not XML"
    rsvg-convert -o "$work/matrix.png" "$work/matrix.svg" || fail "$name: the SVG does not render"
    # The picture: a tooltip for each cell, marks on the hung pair's cells alone, the findings under it.
    drawn=$(grep -c 'trapezoid-sweep\.alone' "$work/junit.xml")
    [ "$(grep -o '<title>' "$work/matrix.svg" | wc -l)" = $((drawn * drawn)) ] || fail "$name: not a tooltip a cell"
    marked=$(grep -o '^<g><title>[^:]*' "$work/matrix.svg" | cut -d' ' -f2 | sort | paste -sd' ')
    [ "$name" != every-pair ] || [ "$marked" = "sim05,sim40 sim40,sim05" ] || fail "$name: marked: $marked"
    sed 's/<\/*tspan[^>]*>//g; s/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&apos;/'"'"'/g; s/&amp;/\&/g' \
      "$work/matrix.svg" >"$work/matrix.txt"
    while IFS= read -r line; do
      grep -qF ">$line</text>" "$work/matrix.txt" || fail "$name: the picture does not list '$line'"
    done < <(grep -E '^(suspect|slow|flaky) ' "$work/out")
  fi
  # Read as UTF-8 in any locale: every job, the link, the hung pair's runs and words.
  [ "$name" != every-pair ] || python3 - "$work/sweep.json" "$list" <<'EOF' || fail "$name: wrong JSON"
import json, sys
data = json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))
n = len(sys.argv[2].split(","))
assert len(data["jobs"]) == n + n * (n - 1) // 2 + 1, len(data["jobs"])
link = {"kind": "suspect", "what": "link", "nodes": ["sim05", "sim40"]}
assert [f for f in data["findings"] if {k: f[k] for k in link} == link], data["findings"]
hung = [j for j in data["jobs"] if j["nodes"] == ["sim05", "sim40"]][0]
assert "no-end" in [r["verdict"] for r in hung["runs"]] and '"waiting"' in hung["evidence"], hung
EOF
  # One line of error, then the usage's four.
  [ "$expected" != 2 ] || [ "$(wc -l <"$work/err")" -le 5 ] || fail "$name: more than the error and the usage"
  named=$(grep -cE '^(suspect|slow|flaky) ' "$work/out")
  [ "$expected" != 1 ] || [ "$named" = "$findings" ] || fail "$name: $named findings"
  [[ $said =~ launcher ]] || ! grep '^launcher: ' "$work/out" || fail "$name: put on the launcher"
  expect_none_left
  [ -z "$(ls "$work/tmp")" ] || fail "$name: left $(ls "$work/tmp")"
  echo "== $name: exit status $status, $ms ms: $(grep -hE -m1 -- "$said" "$work/err" "$work/out")"
done

# Interrupted while the hung pair runs, the sweep ends every job and goes.
printf '%s\n' sim05 sim40 sim41 >"$work/hosts"
for signal in INT TERM; do
  env "$RUN_MARK" "${as_user[@]}" "$work/sim/kit/trapezoid-sweep" --per-node 1 --deadline 60 --hostfile "$work/hosts" \
    --rsh "$work/sim/bin/rsh" </dev/null >"$work/out" 2>"$work/err" &
  sweep=$!
  for _ in $(seq 100); do pgrep -f "hang-$MARK" >/dev/null && break; sleep 0.1; done
  pgrep -f "hang-$MARK" >/dev/null || fail "$signal: the hung pair never ran"
  started=$SECONDS
  kill -"$signal" "$sweep"
  status=0
  wait "$sweep" || status=$?
  cat "$work/err"
  [ "$status" = $((128 + $(kill -l "$signal"))) ] || fail "$signal: exit status $status"
  [ $((SECONDS - started)) -le 10 ] || fail "$signal: $((SECONDS - started)) s to end"
  expect_none_left
  [ -z "$(ls "$work/tmp")" ] || fail "$signal: left $(ls "$work/tmp")"
  echo "== $signal: exit status $status, $((SECONDS - started)) s"
done
