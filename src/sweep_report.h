// What a sweep writes: the table of its jobs, a JUnit file, and a picture
// of the matrix of pairs.
#ifndef TRAPEZOID_SWEEP_REPORT_H
#define TRAPEZOID_SWEEP_REPORT_H

#include <string>
#include <string_view>
#include <vector>

#include "sweep.h"

struct Sweep {
  std::vector<std::string> names;
  Matrix matrix{0};
  std::vector<Wave> waves;  // every pair scheduled
  std::vector<std::string> suspects;
};

// TEXT with XML's special characters escaped, and the control characters
// XML cannot hold left out.
std::string xml(std::string_view text);

// The jobs as a table: every node by itself, each pair that did not simply
// pass, a count of the pairs, and the whole job.
std::string table(const Sweep& sweep);

// A JUnit file with a test case for every node, every pair and the whole job.
std::string junit(const Sweep& sweep);

// An SVG picture of the matrix: the nodes by themselves on the diagonal,
// each pair in its two cells, coloured by its time against the median of
// the jobs that passed and marked by its verdict; the legend and the
// findings below.
std::string svg(const Sweep& sweep);

#endif
