#!/bin/bash
# The trapezoid job under Slurm: sbatch examples/trapezoid.sbatch
# It starts the way the build's MPI was measured to start reliably under
# Slurm, which the build wrote down with its launcher and srun's PMI: the
# MPI's own mpiexec inside the allocation for Open MPI, srun for MPICH.
# TRAPEZOID_BUILD names the build (default build/mpich), TRAPEZOID the
# program (default the build's). Without --kill-on-bad-exit, a process
# that dies leaves the others waiting for it in the reduction until the
# time limit.
#SBATCH --job-name=trapezoid
#SBATCH --ntasks=4
#SBATCH --time=00:05:00
#SBATCH --output=trapezoid-%j.out

build=${TRAPEZOID_BUILD:-build/mpich}
fact() { sed -n "s/^$1=//p" "$build/mpi.env"; }
if [ "$(fact TRAPEZOID_SLURM_LAUNCH)" = mpiexec ]; then
  "$(fact TRAPEZOID_MPIEXEC)" -n "$SLURM_NTASKS" "${TRAPEZOID:-$build/trapezoid}"
else
  srun --kill-on-bad-exit=1 --mpi="$(fact TRAPEZOID_PMI)" "${TRAPEZOID:-$build/trapezoid}"
fi
