# Sourced by the commands in this folder and by the tests: what each MPI's
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

# use_launcher BUILD_DIR: sets the array `launcher` to the launcher CMake
# found for that build, so that it matches the library.
use_launcher() {
  launcher=("$(sed -n 's/^MPIEXEC_EXECUTABLE:FILEPATH=//p' "$1/CMakeCache.txt")")
  [ -n "${launcher[0]}" ] || { echo "no launcher in $1/CMakeCache.txt" >&2; return 1; }
}

# remote_launch FLAVOUR RSH HOSTFILE HOST:SLOTS...: writes HOSTFILE and sets
# the array `remote` to the launcher flags that start processes on those
# hosts through RSH, one program that stands in for ssh.
remote_launch() {
  local flavour=$1 rsh=$2 hostfile=$3 host
  shift 3
  : >"$hostfile"
  case $flavour in
    mpich)
      printf '%s\n' "$@" >"$hostfile"
      remote=(-launcher rsh -launcher-exec "$rsh" -f "$hostfile") ;;
    openmpi)
      for host in "$@"; do printf '%s slots=%s\n' "${host%:*}" "${host#*:}" >>"$hostfile"; done
      # 4.1 reads the agent as its own parameter, 5.0 as PRRTE's ssh one.
      export OMPI_MCA_plm_rsh_agent=$rsh PRTE_MCA_plm_ssh_agent=$rsh
      remote=(--hostfile "$hostfile") ;;
    *) echo "unknown MPI implementation '$flavour'" >&2; return 2 ;;
  esac
}
