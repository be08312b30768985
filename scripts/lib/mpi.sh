# shellcheck shell=bash
# What the scripts and the tests know of a build's MPI: the facts the build
# wrote in its mpi.env, which trapezoid-sweep reads too.

# build_fact BUILD_DIR KEY: what the build found out about its MPI, from the
# file it writes for the scripts and tests (read as text, never run).
build_fact() {
  [ -f "$1/mpi.env" ] || { echo "no $1/mpi.env: build it first" >&2; return 1; }
  sed -n "s/^$2=//p" "$1/mpi.env"
}

# remote_flags BUILD_DIR RSH HOSTFILE HOST:SLOTS...: writes HOSTFILE and
# prints, one a line, the flags the launcher of BUILD_DIR's MPI takes to
# start processes on those hosts through RSH, one program that stands in
# for ssh.
remote_flags() {
  local build=$1 rsh=$2 hostfile=$3 line flags word host
  shift 3
  line=$(build_fact "$build" TRAPEZOID_HOST_LINE) && flags=$(build_fact "$build" TRAPEZOID_REMOTE_FLAGS) ||
    return 2
  [ -n "$flags" ] || { echo "no remote launch known for the MPI of $build" >&2; return 2; }
  for host in "$@"; do
    word=${line//\{host\}/${host%:*}}
    echo "${word//\{slots\}/${host##*:}}"
  done >"$hostfile"
  read -ra flags <<<"$flags"
  for word in "${flags[@]}"; do
    word=${word//\{rsh\}/$rsh}
    echo "${word//\{hostfile\}/$hostfile}"
  done
}
