#!/bin/bash
# The trapezoid job on two nodes, started by the MPI's own launcher inside
# the allocation, which asks Slurm for the nodes and starts its remote
# processes through srun: sbatch examples/trapezoid-nodes.sbatch
# TRAPEZOID_BUILD names the build (default build/mpich), whose launcher the
# build wrote down; TRAPEZOID the program (default the build's).
#SBATCH --job-name=trapezoid
#SBATCH --nodes=2
#SBATCH --ntasks=6
#SBATCH --time=00:05:00
#SBATCH --output=trapezoid-%j.out

build=${TRAPEZOID_BUILD:-build/mpich}
mpiexec=$(sed -n 's/^TRAPEZOID_MPIEXEC=//p' "$build/mpi.env")
"$mpiexec" -n "$SLURM_NTASKS" "${TRAPEZOID:-$build/trapezoid}"
