#!/bin/bash
# The trapezoid job on two nodes, started by the MPI's own launcher inside
# the allocation, which asks Slurm for the nodes and starts its remote
# processes through srun: sbatch examples/trapezoid-nodes.sbatch
# TRAPEZOID_MPIEXEC names the launcher that matches the build
# (mpiexec.mpich, the default, or mpiexec.openmpi); TRAPEZOID, the program.
#SBATCH --job-name=trapezoid
#SBATCH --nodes=2
#SBATCH --ntasks=6
#SBATCH --time=00:05:00
#SBATCH --output=trapezoid-%j.out

"${TRAPEZOID_MPIEXEC:-mpiexec.mpich}" -n "$SLURM_NTASKS" "${TRAPEZOID:-build/mpich/trapezoid}"
