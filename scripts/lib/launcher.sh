# shellcheck shell=bash
# Sourced by the commands in scripts/ and by the tests: what each MPI's
# launcher needs to run a job on a machine like this one, in every version
# the project runs on.

# Open MPI refuses root unless told twice; 5.0 passes these on to its PRRTE
# launcher.
if [ "$(id -u)" = 0 ]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi
# Open MPI refuses more processes than cores without being told: 4.1 reads
# its own parameter, 5.0 only a mapping policy of PRRTE's, which must also
# say to fill each host's slots in turn, as 4.1 does.
export OMPI_MCA_rmaps_base_oversubscribe=1 PRTE_MCA_rmaps_default_mapping_policy=slot:oversubscribe
# Open MPI 5.0's TCP transport finds no pairing for a host's IPv6 addresses
# and says so twice per process, into the job's output; the hosts a job
# here runs on talk IPv4.
export OMPI_MCA_btl_tcp_disable_family=6

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

# build_fact BUILD_DIR KEY: what the build found out about its MPI, from the
# file it writes for the scripts and tests.
build_fact() {
  [ -f "$1/mpi.env" ] || { echo "no $1/mpi.env: build it first" >&2; return 1; }
  sed -n "s/^$2=//p" "$1/mpi.env"
}
