#!/bin/bash
# The trapezoid job under Slurm: sbatch examples/trapezoid.sbatch
# srun's PMI plugin must match the MPI the program was built with:
# pmi2 for MPICH, pmix for Open MPI. Override with TRAPEZOID_MPI and
# TRAPEZOID (the program's path) in the environment sbatch passes on.
# Without --kill-on-bad-exit, a process that dies leaves the others
# waiting for it in the reduction until the time limit.
#SBATCH --job-name=trapezoid
#SBATCH --ntasks=4
#SBATCH --time=00:05:00
#SBATCH --output=trapezoid-%j.out

srun --kill-on-bad-exit=1 --mpi="${TRAPEZOID_MPI:-pmi2}" "${TRAPEZOID:-build/mpich/trapezoid}"
