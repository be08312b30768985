#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "integrand.h"

namespace {

// One insertion, then a flush: MPICH leaves stdout unbuffered, and a line
// written in pieces can be split by another process's line on the console.
// Returns 0, or the errno of a failed write.
int write_whole(const std::ostringstream& text) {
  errno = 0;
  if (!(std::cout << text.str() << std::flush)) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  MPI_Init(&argc, &argv);

  int rank = 0;
  int process_count = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &process_count);

  const double lower_limit = 0.0;
  const double upper_limit = 1.0;
  const int trapezoid_count = 100000;

  const double step_width = (upper_limit - lower_limit) / static_cast<double>(trapezoid_count);

  // The first (trapezoid_count % process_count) ranks take one trapezoid
  // more, so that every trapezoid is summed by exactly one process.
  const int common_count = trapezoid_count / process_count;
  const int remainder = trapezoid_count % process_count;
  const int local_count = rank < remainder ? common_count + 1 : common_count;
  const int first_trapezoid = (rank * common_count) + std::min(rank, remainder);
  const double local_start = (static_cast<double>(first_trapezoid) * step_width) + lower_limit;

  // Each abscissa comes from its index rather than from repeated addition,
  // so rounding does not accumulate along the piece.
  double sum = 0.0;
  for (int i = 0; i < local_count; ++i) {
    const double left = (static_cast<double>(i) * step_width) + local_start;
    const double right = (static_cast<double>(i + 1) * step_width) + local_start;
    const double y_left = integrand(left);
    const double y_right = integrand(right);
    sum = (((y_left + y_right) * step_width) / 2.0) + sum;
  }

  std::ostringstream line;
  line << sum << " I'm here\n";
  int write_error = write_whole(line);

  double total = 0.0;
  MPI_Reduce(&sum, &total, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);

  if (rank == 0) {
    std::ostringstream result;
    result << total << '\n';
    const int result_error = write_whole(result);
    if (write_error == 0) {
      write_error = result_error;
    }
  }

  MPI_Finalize();

  // A report that never reached its reader must not pass for success.
  if (write_error != 0) {
    std::cerr << "trapezoid: cannot write standard output: " << std::strerror(write_error) << '\n';
    return 1;
  }
  return 0;
}
