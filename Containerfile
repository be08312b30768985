# An image of the job for one MPI, from the project's Debian package: apt
# brings in the MPI and its libraries as on an installed machine.
#   scripts/image [mpich|openmpi]   builds it here, from a base made of this
#                                   machine's apt sources, with no registry
#   podman build --build-arg BASE=debian:bookworm --build-arg MPI=openmpi \
#     -f Containerfile DIR          anywhere else, DIR holding the package
#                                   (trapezoid-openmpi_*.deb), as docker build does too
ARG BASE=localhost/trapezoid-base:bookworm
FROM ${BASE}
ARG MPI=mpich
LABEL org.trapezoid.mpi=${MPI}
COPY trapezoid-${MPI}_*.deb /tmp/packages/
# One package, the newest, if the folder holds the builds of several versions.
RUN set -e; \
    case "$MPI" in mpich | openmpi) ;; *) echo "MPI must be mpich or openmpi, not '$MPI'" >&2; exit 2 ;; esac; \
    deb=$(ls -v /tmp/packages/trapezoid-"$MPI"_*.deb | tail -1); \
    apt-get update -q; \
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb"; \
    rm -rf /tmp/packages /var/lib/apt/lists/*
# MPICH talks through UCX, which shares memory between the processes of a
# node through /proc/PID/fd links unless told to use the file's path; a
# process cannot open the links of one in another user namespace (ch-run
# without --join starts a container a process). Only UCX reads it.
ENV UCX_POSIX_USE_PROC_LINK=n
CMD ["trapezoid"]
