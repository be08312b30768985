#!/usr/bin/env bash
# install.sh BUILD_DIR: the Debian package of this build, installed by apt
# into a bare root of this machine's release, brings in all it needs: the
# job's output passes the checker, a sweep of this one host passes (it needs
# no remote shell), and the man pages are found. That root stays, as the
# image of the container tests (containers.sh).
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

build=$1
need_root "a Debian root"
command -v dpkg-shlibdeps >/dev/null || skip "no dpkg-shlibdeps: install dpkg-dev"
# The package of an older version beside it, as after an upgrade, must not
# be taken for this one.
mkdir "$work/packages"
touch "$work/packages/trapezoid-mpich_0.9.0_amd64.deb" "$work/packages/trapezoid-openmpi_0.9.0_amd64.deb"
# shellcheck source=../scripts/lib/packages.sh
. "$SCRIPTS_DIR/lib/packages.sh"
deb=$(make_package "$build" "$work/packages") || fail "no package of $build"
lintian --fail-on error "$deb" >&2 || fail "lintian finds errors in $deb"

root=$(test_image "$build") podman_image=$(test_image "$build" podman)
rm -rf "$root"
. /etc/os-release
"$SCRIPTS_DIR/testbed/debian-root" make "$root" "$VERSION_CODENAME" "$(dpkg --print-architecture)" ||
  fail "no root of $VERSION_CODENAME"
cp "$deb" "$SCRIPTS_DIR/lib/launcher.sh" "$SCRIPTS_DIR/lib/mpi.sh" "$root/root/"
# apt fetches the MPI and its libraries.
# An index the mirror serves wrong fails the update but not the install from
# the others (scripts/lib/packages.sh).
timeout $((120 * TIME_SCALE)) "$SCRIPTS_DIR/testbed/debian-root" run "$root" apt-get update -qq </dev/null >"$work/apt.log" 2>&1 ||
  echo "NOTE: apt-get update in the root failed ($(grep -m1 '^E: ' "$work/apt.log")); installing from the indexes it has"
LAUNCH_TIMEOUT=$((400 * TIME_SCALE)) launch_ok "$work/out" "$work/err" "apt-get install ./$(basename "$deb")" \
  "$SCRIPTS_DIR/testbed/debian-root" run "$root" sh -c "cd /root &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ./*.deb man-db"
launch_ok "$work/out" "$work/err" "mpiexec -n 4 trapezoid | trapezoid-check 4" \
  "$SCRIPTS_DIR/testbed/debian-root" run "$root" bash -c \
  ". /root/launcher.sh && mpiexec -n 4 trapezoid | trapezoid-check 4 && echo localhost >/root/hosts &&
    trapezoid-sweep --hostfile /root/hosts --rsh false && man -w trapezoid trapezoid-check trapezoid-sweep"
cat "$work/out"

# The root is the image the container tests run, with a mark the host has
# not, and podman's copy of it.
echo "image$$" >"$root/etc/trapezoid-image"
echo "== the image: $root"
command -v podman >/dev/null || exit 0
podman rmi -f "$podman_image" >/dev/null 2>&1 || true
tar -C "$root" -c . | podman import -q - "$podman_image" >/dev/null || fail "podman cannot import the root"
echo "== podman's copy: $podman_image"
