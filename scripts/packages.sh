# Sourced by the commands in this folder: installs Debian packages that are
# missing, through sudo when not root.

# Debian's packages for each MPI implementation's compiler wrappers,
# library and launcher.
mpi_packages() {
  case $1 in
    mpich) echo mpich libmpich-dev ;;
    openmpi) echo openmpi-bin libopenmpi-dev ;;
    *) echo "unknown MPI implementation '$1': use mpich or openmpi" >&2; return 2 ;;
  esac
}

ensure_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} = 0 ] && return 0
  local sudo=
  [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing ${missing[*]}" >&2
  $sudo apt-get update -qq >&2 &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" </dev/null >&2
}

# build_preset NAME: configures and builds one preset; its log stays in the
# build folder and is shown only when something fails.
build_preset() {
  local log=build/$1.log
  mkdir -p build
  if ! { cmake --preset "$1" && cmake --build --preset "$1" --parallel; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "build with $1 failed; log in $log" >&2
    return 1
  fi
}
