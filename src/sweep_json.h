// What a sweep writes for scripts: every job's runs and the findings, as JSON.
#ifndef TRAPEZOID_SWEEP_JSON_H
#define TRAPEZOID_SWEEP_JSON_H

#include <string>
#include <string_view>
#include <vector>

#include "sweep_report.h"

// What the sweep knows beyond its jobs: how it was asked to run, and how it ran.
struct JsonContext {
  std::string mpi;
  std::string launch;  // how the jobs start
  int deadline = 0;
  int per_node = 0;
  std::string pairs;
  int repeat = 0;
  double slow_factor = 0.0;
  double slow_seconds = 0.0;
  std::string launch_way;  // --launch, empty when not given
  std::vector<std::string> notes;
};

// TEXT as a JSON string, quotes included: valid UTF-8 passes, each byte that
// is not becomes U+FFFD.
std::string json_string(std::string_view text);

// One object: the MPI, the launch, the options, the findings, the notes and
// every node, pair and the whole job with its runs.
std::string json(const Sweep& sweep, const JsonContext& context);

#endif
