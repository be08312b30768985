# shellcheck shell=bash
# Sourced by the commands in scripts/ and by the tests: what each MPI's
# launcher needs to run a job on a machine like this one, in every version
# the project runs on, beside what the product knows of each MPI.

# shellcheck source=mpi.sh
. "$(dirname "${BASH_SOURCE[0]}")/mpi.sh"

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
