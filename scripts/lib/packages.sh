# shellcheck shell=bash
# Sourced by the commands in scripts/: what a build needs, and the Debian
# packages missing for it, installed only on Debian and only as root or
# through sudo without a password. Otherwise what is missing is listed and
# the command exits 2; nothing waits for an answer. Each step says what it
# does in one line; apt's and CMake's own output goes to a log under build/.

LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PROJECT_DIR=$(cd "$LIB_DIR/../.." && pwd)
LOG_DIR=$PROJECT_DIR/build
# shellcheck source=launcher.sh
. "$LIB_DIR/launcher.sh"

# mpi_packages MPI: Debian's packages for an MPI's compiler wrappers,
# library and launcher, from the table of MPIs; a path build takes whatever
# MPI is on PATH, and needs none.
mpi_packages() {
  [ "$1" = path ] && return 0
  awk -v mpi="$1" '$1 == mpi { print $4, $3; found = 1 } END { exit !found }' "$PROJECT_DIR/cmake/mpis.txt" && return 0
  echo "unknown MPI '$1': use $(awk '!/^#/ { printf "%s, ", $1 }' "$PROJECT_DIR/cmake/mpis.txt")or path" >&2
  return 2
}

# default_mpi: MPICH where Debian's packages can be had, else the MPI on PATH.
default_mpi() {
  if command -v dpkg-query >/dev/null; then
    echo mpich
  else
    echo "no dpkg here: building with MPI=path, the mpicxx and mpiexec first on PATH" >&2
    echo path
  fi
}

# ensure_commands COMMAND...: a path build installs nothing, it needs these.
ensure_commands() {
  local missing=() command
  for command in "$@"; do command -v "$command" >/dev/null || missing+=("$command"); done
  [ ${#missing[@]} = 0 ] && return 0
  echo "missing on PATH: ${missing[*]}" >&2
  echo "MPI=path needs cmake, make, a C++ compiler (\$CXX, else c++), mpicxx and mpiexec;" \
    "load the module that provides them (module load ...)" >&2
  exit 2
}

# ensure_build MPI [PACKAGE...]: what building against MPI needs, with the
# Debian PACKAGEs the caller wants beyond it, which a path build goes without.
ensure_build() {
  local mpi=$1 packages
  shift
  packages=$(mpi_packages "$mpi") || exit 2
  if [ "$mpi" = path ]; then
    ensure_commands cmake make "${CXX:-c++}" mpicxx mpiexec
  else
    # shellcheck disable=SC2086 # the list splits into package names
    ensure_packages cmake make g++ $packages "$@"
  fi
}

# ensure_packages PACKAGE...: installs those of them that are missing.
ensure_packages() {
  local missing=() package sudo=() log=$LOG_DIR/apt.log
  if ! command -v dpkg-query >/dev/null; then
    echo "no dpkg here to install Debian packages ($*): build with MPI=path, the MPI on PATH" >&2
    exit 2
  fi
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} = 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    if ! sudo -n true </dev/null >/dev/null 2>&1; then
      echo "missing Debian packages: ${missing[*]}" >&2
      echo "not root and no sudo without a password: install them as root" \
        "(apt-get install ${missing[*]}), or build with MPI=path against an MPI on PATH" >&2
      exit 2
    fi
    sudo=(sudo -n)
  fi
  echo "installing ${missing[*]}" >&2
  mkdir -p "$LOG_DIR"
  if ! fetch "$log" apt_install "$log.update" "${sudo[@]}" -- "${missing[@]}"; then
    tail -5 "$log" >&2
    echo "installing ${missing[*]} failed; log in $log" >&2
    return 1
  fi
  [ ! -s "$log.update" ] ||
    echo "apt-get update failed ($(cat "$log.update")); installed ${missing[*]} from the indexes it has" >&2
}

# apt_install NOTE [sudo -n] -- PACKAGE...: apt-get update, then install. A
# mirror that serves one index wrong fails the update but not an install
# from the others (bookworm-security's i386 Packages.xz, hours on end:
# "File has unexpected size ... Mirror sync in progress?"); NOTE then holds
# apt's error, else it is empty.
apt_install() {
  local note=$1 out sudo=()
  shift
  while [ "$1" != -- ]; do sudo+=("$1"); shift; done
  shift
  out=$("${sudo[@]}" apt-get update -q 2>&1) && : >"$note" || grep -m1 '^E: ' <<<"$out" >"$note" || echo >"$note"
  printf '%s\n' "$out"
  # Another apt, such as the machine's own updates, may hold the lock a while.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "$@"
}

# fetch LOG COMMAND...: a command that downloads from the Debian mirror, its
# output added to LOG, run again after a wait where it fails. A mirror being
# updated serves, for minutes, indexes that its Release file does not list:
# apt says "Mirror sync in progress?".
fetch() {
  local log=$1 wait out status
  shift
  for wait in 30 60 120 ''; do
    status=0
    out=$("$@" </dev/null 2>&1) || status=$?
    printf '%s\n' "$out" >>"$log"
    [ "$status" != 0 ] && [ -n "$wait" ] || return "$status"
    echo "$1 failed, exit status $status: $(grep -m1 '^E: ' <<<"$out" | cut -c1-240)" >&2
    echo "again in $wait s: a mirror being updated fails so for a while" >&2
    sleep "$wait"
  done
}

# build_preset NAME [CMAKE_ARG...]: configures and builds one preset; only
# the targets \$TARGETS names, where it names some.
build_preset() {
  local preset=$1 log=$LOG_DIR/$1.log fresh=() targets=()
  shift
  [ -z "${TARGETS:-}" ] || read -ra targets <<<"--target $TARGETS"
  # A path build follows PATH: another module loaded since means another MPI.
  if [ "$preset" = path ] && [ -f build/path/mpi.env ] &&
    [ "$(build_fact build/path TRAPEZOID_MPIEXEC)" != "$(command -v mpiexec)" ]; then
    fresh=(--fresh)
  fi
  echo "building build/$preset" >&2
  mkdir -p "$LOG_DIR"
  if ! { cmake --preset "$preset" "${fresh[@]}" "$@" && cmake --build --preset "$preset" --parallel "${targets[@]}"; } >"$log" 2>&1; then
    tail -20 "$log" >&2
    echo "building build/$preset failed; log in $log" >&2
    return 1
  fi
}

# make_package BUILD_DIR DIR: the build's Debian package, made by cpack in
# DIR (absolute), beside whatever DIR holds; prints its path. cpack's own
# output is DIR/cpack.log.
make_package() {
  local log=$2/cpack.log deb
  mkdir -p "$2"
  (cd "$1" && cpack -B "$2") >"$log" 2>&1 || { tail -20 "$log" >&2; echo "cpack failed; log in $log" >&2; return 1; }
  deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log")
  [ -f "$deb" ] || { tail -20 "$log" >&2; echo "cpack names no package it made; log in $log" >&2; return 1; }
  echo "$deb"
}
