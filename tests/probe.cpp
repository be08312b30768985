// Stands between the program and MPI_Reduce through the profiling interface,
// and records on stderr exactly what each process hands to the collective.
// TRAPEZOID_PROBE_KILL_RANK=R makes rank R die by SIGKILL inside the call,
// once every rank has entered it and before its data reaches MPI;
// TRAPEZOID_PROBE_STOP_RANK=R freezes it there with SIGSTOP instead, and
// TRAPEZOID_PROBE_STOP_EARLY_RANK=R before it computes its share.
#include <mpi.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int calls = 0;
constexpr std::size_t host_name_size = 256;

// Says so on stderr first, since a stopped rank may yet be resumed.
void signal_if_named(int signal, const char* variable, int rank) {
  const char* named = std::getenv(variable);
  if (named != nullptr && std::to_string(rank) == named) {
    std::fprintf(stderr, "probe rank=%d %s\n", rank, variable);
    std::raise(signal);
  }
}

const char* datatype_name(MPI_Datatype datatype) {
  return datatype == MPI_DOUBLE ? "MPI_DOUBLE" : "other";
}

const char* op_name(MPI_Op op) { return op == MPI_SUM ? "MPI_SUM" : "other"; }

const char* comm_name(MPI_Comm comm) {
  int result = MPI_UNEQUAL;
  PMPI_Comm_compare(comm, MPI_COMM_WORLD, &result);
  return result == MPI_IDENT ? "MPI_COMM_WORLD" : "other";
}

}  // namespace

// The program asks for the size once, before it computes its share.
extern "C" int MPI_Comm_size(MPI_Comm comm, int* size) {
  int rank = -1;
  PMPI_Comm_rank(comm, &rank);
  signal_if_named(SIGSTOP, "TRAPEZOID_PROBE_STOP_EARLY_RANK", rank);
  return PMPI_Comm_size(comm, size);
}

extern "C" int MPI_Reduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype datatype,
                          MPI_Op op, int root, MPI_Comm comm) {
  int rank = -1;
  int size = 0;
  PMPI_Comm_rank(comm, &rank);
  PMPI_Comm_size(comm, &size);
  ++calls;
  const double send =
      datatype == MPI_DOUBLE && count == 1 ? *static_cast<const double*>(sendbuf) : 0.0;
  char host[host_name_size] = "?";
  gethostname(host, host_name_size - 1);
  // One fprintf per record: stderr is unbuffered, so each record is one write.
  // Each stays under 128 bytes, which Open MPI 5.0 forwards in one piece; a
  // longer write it splits there, and other ranks' lines come between.
  std::fprintf(
      stderr, "probe rank=%d call=%d count=%d datatype=%s op=%s root=%d comm=%s send=%a host=%s\n",
      rank, calls, count, datatype_name(datatype), op_name(op), root, comm_name(comm), send, host);
  std::fprintf(stderr, "probe rank=%d size=%d\n", rank, size);

  // Every rank records its call before one dies, so that a test can tell a
  // job that ran from one that never started.
  if (std::getenv("TRAPEZOID_PROBE_KILL_RANK") != nullptr ||
      std::getenv("TRAPEZOID_PROBE_STOP_RANK") != nullptr) {
    PMPI_Barrier(comm);
    signal_if_named(SIGKILL, "TRAPEZOID_PROBE_KILL_RANK", rank);
    signal_if_named(SIGSTOP, "TRAPEZOID_PROBE_STOP_RANK", rank);
  }

  const int status = PMPI_Reduce(sendbuf, recvbuf, count, datatype, op, root, comm);
  if (rank == root && datatype == MPI_DOUBLE && count == 1) {
    std::fprintf(stderr, "probe rank=%d total=%a\n", rank, *static_cast<const double*>(recvbuf));
  }
  return status;
}
