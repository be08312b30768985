# Sourced by the commands in this folder: what a build needs, and the Debian
# packages missing for it, installed only on Debian and only as root or
# through sudo without a password. Otherwise what is missing is listed and
# the command exits 2; nothing waits for an answer.

# Debian's packages for each MPI implementation's compiler wrappers,
# library and launcher; a path build takes whatever MPI is on PATH.
mpi_packages() {
  case $1 in
    mpich) echo mpich libmpich-dev ;;
    openmpi) echo openmpi-bin libopenmpi-dev ;;
    path) ;;
    *) echo "unknown MPI implementation '$1': use mpich, openmpi or path" >&2; return 2 ;;
  esac
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
    # shellcheck disable=SC2086
    ensure_packages cmake make g++ $packages "$@"
  fi
}

ensure_packages() {
  local missing=() package sudo=()
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
  "${sudo[@]}" apt-get update -qq </dev/null >&2 &&
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" </dev/null >&2
}

# build_preset NAME: configures and builds one preset; its log stays in the
# build folder and is shown only when something fails.
build_preset() {
  local log=build/$1.log fresh=()
  # A path build follows PATH: another module loaded since means another MPI.
  if [ "$1" = path ] && [ -f build/path/CMakeCache.txt ] &&
    ! grep -qxF "MPIEXEC_EXECUTABLE:FILEPATH=$(command -v mpiexec)" build/path/CMakeCache.txt; then
    fresh=(--fresh)
  fi
  mkdir -p build
  if ! { cmake --preset "$1" "${fresh[@]}" && cmake --build --preset "$1" --parallel; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "build with $1 failed; log in $log" >&2
    return 1
  fi
}
