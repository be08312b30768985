#!/usr/bin/env bash
# cluster.sh lmod|nodpkg|sudo-password|mirror-sync|user-suite SOURCE_DIR: the
# project as a cluster's login node meets it: an MPI from a module, no dpkg,
# no root, a Debian mirror being updated.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

row=$1 source=$2
# The checkout as a fresh clone has it.
copy=$work/copy
mkdir "$copy"
tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$copy"

case $row in
  lmod)
    init=/usr/share/lmod/lmod/init/bash
    [ -f "$init" ] || skip "no Lmod: install Debian's lmod"
    # The module brings the MPI that the system's mpiexec is not.
    other=mpich
    mpiexec --version </dev/null 2>&1 | grep -q HYDRA && other=openmpi
    "$SCRIPTS_DIR/testbed/site-module" "$work/site" "$other" >/dev/null || skip "no $other for the module"
    . "$init"
    module use "$work/site" && module load site-mpi || fail "module load site-mpi"
    LAUNCH_TIMEOUT=240 launch_ok "$work/out" "$work/err" "MPI=path scripts/run 3" \
      env MPI=path "$copy/scripts/run" 3
    check_output 3 "$work/out" "MPI=path scripts/run 3 with $other from a module"
    launcher=$(sed -n 's/^TRAPEZOID_MPIEXEC=//p' "$copy/build/path/mpi.env")
    [ "$launcher" = "$work/site/bin/mpiexec" ] ||
      fail "the path build did not take the module's launcher: $launcher"
    echo "$other from a module, $launcher: $(sort "$work/out" | paste -sd ' ')" ;;
  nodpkg)
    need_root "an overlay of this system"
    ! mountpoint -q /usr || skip "/usr is a file system of its own, which an overlay of / leaves out"
    # This system seen through an overlay in which dpkg and apt are gone and
    # what stands in for apt-get and sudo records each call.
    status=0
    LAUNCH_TIMEOUT=240 launch "$work/out" "$work/err" unshare --mount --propagation private bash -c '
      set -e
      work=$1 copy=$2 scripts=$3
      mkdir "$work/layers" "$work/root"
      mount -t tmpfs tmpfs "$work/layers"
      cd "$work/layers"
      mkdir -p up/usr/bin up/usr/local/bin up/work lower
      for file in /usr/bin/dpkg* /usr/bin/apt*; do mknod "up$file" c 0 0; done
      for stub in apt-get sudo; do
        printf "#!/bin/sh\necho \"%s \$*\" >>/work/calls\nexit 1\n" "$stub" >"up/usr/local/bin/$stub"
        chmod 755 "up/usr/local/bin/$stub"
      done
      # Relative, as a comma in TMPDIR would split the options.
      mount -t overlay overlay -o lowerdir=/,upperdir=up,workdir=lower "$work/root"
      cp -a "$copy" "$work/root/work/copy"
      status=0
      "$scripts/testbed/debian-root" run "$work/root" bash -c "cd /work/copy && scripts/run 3" || status=$?
      [ ! -e up/work/calls ] || cp up/work/calls "$work/calls"
      exit "$status"' nodpkg "$work" "$copy" "$SCRIPTS_DIR" || status=$?
    [ ! -e "$work/calls" ] || fail "without dpkg, scripts/run called: $(cat "$work/calls")"
    [ "$status" = 0 ] || { cat "$work/err" >&2; fail "scripts/run 3 without dpkg: exit status $status"; }
    check_output 3 "$work/out" "scripts/run 3 without dpkg"
    [ "$(grep -c 'MPI=path' "$work/err")" = 1 ] || { cat "$work/err" >&2; fail "MPI=path not said in one line"; }
    echo "$(cat "$work/err"): $(sort "$work/out" | paste -sd ' ')" ;;
  sudo-password)
    need_root "making an ordinary user"
    # libmpich-dev seems missing; sudo asks for a password on stdin unless -n.
    printf '#!/bin/sh\ncase "$*" in *libmpich-dev*) exit 1 ;; esac\nexec %q "$@"\n' \
      "$(command -v dpkg-query)" >"$work/dpkg-query"
    printf '#!/bin/sh\necho "$*" >>%q\n%s\n' "$work/sudo-calls" \
      'case " $* " in *" -n "*) exit 1 ;; esac; printf "password: " >&2; read -r p; exit 1' >"$work/sudo"
    chmod 755 "$work/dpkg-query" "$work/sudo" && install -m 666 /dev/null "$work/sudo-calls"
    started=$(date +%s%N) status=0
    # Standard input stays open and empty, as at a terminal nobody answers.
    "$SCRIPTS_DIR/testbed/as-user" "$copy" timeout -k 2 20 env PATH="$work:$PATH" MPI=mpich scripts/run 3 \
      >"$work/out" 2>"$work/err" < <(sleep 30) || status=$?
    kill $! 2>/dev/null
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    cat "$work/err" >&2
    [ "$status" = 2 ] || fail "exit status $status, not 2, after $elapsed_ms ms"
    [ "$elapsed_ms" -lt 5000 ] || fail "took $elapsed_ms ms"
    grep -q -- '^-n' "$work/sudo-calls" || fail "sudo -n was never tried"
    grep -q 'missing Debian packages: libmpich-dev$' "$work/err" || fail "libmpich-dev not named missing"
    echo "exit status 2 after $elapsed_ms ms; sudo called as: $(tr '\n' ';' <"$work/sudo-calls")" ;;
  mirror-sync)
    need_root "installing as root"
    # apt-get update fails as it did on a mirror, FAILS times; the install
    # after a failed update fails where the mirror's main index is missing
    # (whole), not where one other index is wrong (partial). apt-get,
    # dpkg-query and sleep are stand-ins that record each call.
    mkdir "$work/bin"
    printf '#!/bin/sh\necho "apt-get $1" >>%q/calls\n%s\n' "$work" \
      '[ "$(grep -c update "${0%/*}/../calls")" -gt "$FAILS" ] && exit 0
[ "$1" = install ] && [ "$MIRROR" = partial ] && exit 0
[ "$1" = install ] && { echo "E: Unable to locate package none-such"; exit 100; }
printf "   Release file created at: Mon, 07 Dec 2026 23:22:40 +0000\nE: Some index files failed to download. They have been ignored, or old ones used instead.\n"
exit 100' >"$work/bin/apt-get"
    printf '#!/bin/sh\necho "sleep $1" >>%q/calls\n' "$work" >"$work/bin/sleep"
    printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
    chmod 755 "$work/bin/"*
    # Mirror, fails, status, the calls, what is said.
    for row in "partial|99|0|update install|from the indexes it has" \
      "whole|1|0|update install sleep-30 update install|^again in 30 s" \
      "whole|9|1|update install sleep-30 update install sleep-60 update install sleep-120 update install|^again in 120 s"; do
      IFS='|' read -r mirror fails expected calls said <<<"$row"
      rm -f "$work/calls"
      status=0
      (cd "$copy" && . scripts/lib/packages.sh && PATH=$work/bin:$PATH MIRROR=$mirror FAILS=$fails \
        ensure_packages none-such) 2>"$work/err" || status=$?
      cat "$work/err" >&2
      [ "$status" = "$expected" ] || fail "$mirror mirror, update failing $fails times: exit status $status"
      [ "$(sed 's/^apt-get //; s/ /-/' "$work/calls" | paste -sd ' ')" = "$calls" ] ||
        fail "$mirror mirror, update failing $fails times: $(paste -sd ' ' "$work/calls"), not $calls"
      grep -q "$said" "$work/err" || fail "$mirror mirror: '$said' not said"
    done
    echo "a mirror with one index wrong, then updated once, then always: installed, installed, failed" ;;
  user-suite)
    need_root "making an ordinary user"
    # All but lint, which reads the same files whoever runs it, and the
    # simulated sweep, which runs as an ordinary user anyway.
    user_tests='^(output|sweep\.(unit|slurm|hostfile)|check|probe|full_device|kill|causes|hosts|slurm|install|containers|testhosts)\.'
    LAUNCH_TIMEOUT=280 launch_ok "$work/out" "$work/err" "scripts/test mpich as an ordinary user" \
      "$SCRIPTS_DIR/testbed/as-user" "$copy" env TESTS="$user_tests" scripts/test mpich
    counts=$(grep -E '^tests: [1-9][0-9]* passed, 0 failed, [0-9]+ skipped$' "$work/out") || fail "no passing count"
    ! grep 'SKIP: ' "$work/out" | grep -v 'needs root' || fail "skipped for another reason than root"
    echo "as an ordinary user: $counts; $(grep 'SKIP: ' "$work/out" | paste -sd ' ')" ;;
  *) fail "unknown row $row" ;;
esac
