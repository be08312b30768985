# shellcheck shell=bash
# What the scripts, the tests and trapezoid-sweep know of a build's MPI: the
# facts the build wrote, and the flags its launcher takes to start processes
# on other hosts. Installed beside those facts, in share/trapezoid, for the
# sweep.

# build_fact BUILD_DIR KEY: what the build found out about its MPI, from the
# file it writes for the scripts and tests (read as text, never run).
build_fact() {
  [ -f "$1/mpi.env" ] || { echo "no $1/mpi.env: build it first" >&2; return 1; }
  sed -n "s/^$2=//p" "$1/mpi.env"
}

# remote_flags MPI RSH HOSTFILE HOST:SLOTS...: writes HOSTFILE and prints,
# one a line, the launcher flags that start processes on those hosts through
# RSH, one program that stands in for ssh.
remote_flags() {
  local mpi=$1 rsh=$2 hostfile=$3 host
  shift 3
  case $mpi in
    mpich)
      printf '%s\n' "$@" >"$hostfile"
      printf '%s\n' -launcher rsh -launcher-exec "$rsh" -f "$hostfile" ;;
    openmpi)
      for host in "$@"; do printf '%s slots=%s\n' "${host%:*}" "${host#*:}"; done >"$hostfile"
      printf '%s\n' --mca plm_rsh_agent "$rsh" --hostfile "$hostfile" ;;
    *) echo "no remote launch known for MPI '$mpi'" >&2; return 2 ;;
  esac
}
