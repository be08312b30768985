# shellcheck shell=bash
# Sourced by scripts/platforms: its rows, how each is made, and how each is
# tested, in $work.

work=${TRAPEZOID_PLATFORMS:-/var/tmp/trapezoid-platforms}

# row NAME: the release and architecture of its root, then the suite's
# command inside it.
row() {
  case $1 in
    here) echo "$(. /etc/os-release && echo "${VERSION_CODENAME:-?}") $(dpkg --print-architecture 2>/dev/null ||
      uname -m) scripts/test" ;;
    debian13-amd64) echo "trixie amd64 LABELS_OUT=any-release scripts/test" ;;
    debian12-i386) echo "bookworm i386 LABELS_OUT=any-release scripts/test" ;;
    debian13-arm64) echo "trixie arm64 TESTS='^(output|probe|kill)\\.' TARGETS='trapezoid trapezoid_probe trapezoid-check' scripts/test mpich openmpi" ;;
    windows-i686) echo "trixie amd64 scripts/test-windows" ;;
    *) return 1 ;;
  esac
}

# what_failed LOG: what a failed row's log says went wrong, for a CI that
# keeps no log: each test's FAIL line and CTest's list of failed tests, by
# build; else the log's last lines.
what_failed() {
  awk '/^== [^ ]+$/ { build = $2 } /^FAIL: / { print; n++ }
       /^\t *[0-9]+ - / { sub(/^\t *[0-9]+ - /, ""); print build ": " $0; n++ }
       END { exit n == 0 }' "$1" | head -40 || tail -15 "$1"
}

# suite NAME ROOT: the suite's command in ROOT, and on a second line what
# it leaves out. Where the kernel runs no 32-bit programs: Open MPI 4.1's
# launcher under qemu-i386 rejects every option it is given, --version
# included, and Slurm's daemons do not come up within slurm-node's wait;
# the source checks, the package's install and a login node's rows are the
# same on every architecture, and slow there.
suite() {
  local release arch command
  read -r release arch command <<<"$(row "$1")"
  if [ "$1" = debian12-i386 ] && scripts/testbed/debian-root emulated "$2"; then
    printf '%s\n' "TESTS='^(output|check|probe|full_device|kill|hosts)\\.' scripts/test mpich" \
      "emulated: MPICH only, no Slurm"
  else
    printf '%s\n\n' "$command"
  fi
}

# prepare NAME ROOT: makes the row's root with a copy of this checkout, and
# in it installs and builds what its suite needs, running no test.
prepare() {
  local release arch command
  [ "$1" != here ] || return 0
  read -r release arch _ <<<"$(row "$1")"
  scripts/testbed/debian-root make "$2" "$release" "$arch" || return 1
  mkdir -p "$2/work/main"
  git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$2/work/main" || return 1
  { [ ! -d ../shared ] || cp -a ../shared "$2/work/shared"; } || return 1
  command=$(suite "$1" "$2" | head -1)
  scripts/testbed/debian-root run "$2" bash -c "cd /work/main && $command --prepare"
}

# ready NAME: waits until the row is made; fails as its making did.
ready() {
  until [ -s "$work/$1.prepared" ]; do sleep 2; done
  return "$(cat "$work/$1.prepared")"
}
emulated() { [ "$1" != here ] && scripts/testbed/debian-root emulated "$work/$1" 2>/dev/null; }

# test_row NAME: runs the row's suite once it is ready; prints its line, and
# under it what failed; leaves its counts in \$work/NAME.counts; fails if
# the row did.
test_row() {
  local name=$1 root=$work/$1 log=$work/$1.log release arch status=0 scope="" started command minutes counts
  local verdict passed failures skips against
  read -r release arch _ <<<"$(row "$name")"
  ready "$name" || status=$?
  started=$(date +%s)
  if [ "$status" = 0 ]; then
    { read -r command && read -r scope; } < <(suite "$name" "$root" 2>>"$log")
    [ -z "$scope" ] || echo "NOTE: 32-bit x86 runs through qemu-user here ($scope)" >>"$log"
    if [ "$name" = here ]; then
      bash -c "$command" </dev/null 2>&1 | tee "$log" || status=$?
    else
      scripts/testbed/debian-root run "$root" bash -c "cd /work/main && $command" >>"$log" 2>&1 || status=$?
    fi
  fi
  minutes=$(awk -v s="$(($(date +%s) - started))" 'BEGIN { printf "%.1f", s / 60 }')
  counts=$(grep -E '^tests: [0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$log" | tail -1)
  counts=${counts#tests: }
  verdict=ok
  if [ "$status" != 0 ] || [ -z "$counts" ]; then
    verdict="FAILED (exit status $status; log in $log)"
  elif [[ $counts != *" 0 skipped" ]]; then
    verdict="FAILED (tests were skipped; log in $log)"
  fi
  read -r passed _ failures _ skips _ <<<"${counts:-0 passed, 1 failed, 0 skipped}"
  echo "$passed $failures $skips" >"$work/$name.counts"
  against=$(sed -n 's/^against: //p' "$log" | head -1)
  printf '%-15s %-8s %-6s %-36s %5s min  %s%s: %s\n' "$name" "$release" "$arch" "${counts:-no tests ran}" \
    "$minutes" "$verdict" "${scope:+ ($scope)}" "${against:-?}"
  [ "$verdict" = ok ] || { what_failed "$log" | sed 's/^/    /'; return 1; }
}
