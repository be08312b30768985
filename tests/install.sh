# install.sh BUILD_DIR: the Debian package of this build, installed by apt
# into a bare root of this machine's release, brings in all it needs: the
# job's output passes the checker, and the man page is found.
. "$(dirname "$0")/lib.sh"

build=$1
need_root "a Debian root"
command -v dpkg-shlibdeps >/dev/null || skip "no dpkg-shlibdeps: install dpkg-dev"
(cd "$build" && cpack) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$build"/trapezoid-*.deb)
lintian --fail-on error "$deb" >&2 || fail "lintian finds errors in $deb"

. /etc/os-release
"$SCRIPTS_DIR/debian-root" make "$work/root" "$VERSION_CODENAME" "$(dpkg --print-architecture)" ||
  fail "no root of $VERSION_CODENAME"
cp "$deb" "$SCRIPTS_DIR/launcher.sh" "$work/root/root/"
# apt fetches the MPI and its libraries.
LAUNCH_TIMEOUT=$((400 * TIME_SCALE)) launch_ok "$work/out" "$work/err" "apt-get install ./$(basename "$deb")" \
  "$SCRIPTS_DIR/debian-root" run "$work/root" sh -c "cd /root && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ./*.deb man-db"
launch_ok "$work/out" "$work/err" "mpiexec -n 4 trapezoid | trapezoid-check 4" \
  "$SCRIPTS_DIR/debian-root" run "$work/root" bash -c \
  ". /root/launcher.sh && mpiexec -n 4 trapezoid | trapezoid-check 4 && man -w trapezoid trapezoid-check"
cat "$work/out"
