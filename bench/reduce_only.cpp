// The job's one message and nothing else: the trapezoid job is timed
// against this too, since across hosts the reduction opens connections that
// the empty job never needs.
#include <mpi.h>

int main(int argc, char* argv[]) {
  MPI_Init(&argc, &argv);
  const double part = 1.0;
  double total = 0.0;
  MPI_Reduce(&part, &total, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
  MPI_Finalize();
  return 0;
}
