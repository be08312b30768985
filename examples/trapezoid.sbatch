#!/bin/bash
# The trapezoid job under Slurm: sbatch examples/trapezoid.sbatch
# srun's PMI must be the one the build's MPI speaks, which the build wrote
# down; TRAPEZOID_BUILD names the build (default build/mpich), TRAPEZOID
# the program (default the build's). Without --kill-on-bad-exit, a process
# that dies leaves the others waiting for it in the reduction until the
# time limit.
#SBATCH --job-name=trapezoid
#SBATCH --ntasks=4
#SBATCH --time=00:05:00
#SBATCH --output=trapezoid-%j.out

build=${TRAPEZOID_BUILD:-build/mpich}
pmi=$(sed -n 's/^TRAPEZOID_PMI=//p' "$build/mpi.env")
srun --kill-on-bad-exit=1 --mpi="$pmi" "${TRAPEZOID:-$build/trapezoid}"
