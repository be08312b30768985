// What a right output of the trapezoid job is, and what a wrong one says of
// its cause: shared by trapezoid-check and trapezoid-sweep.
#ifndef TRAPEZOID_CHECK_H
#define TRAPEZOID_CHECK_H

#include <string>
#include <string_view>
#include <vector>

#include "job.h"

constexpr int kMaxProcesses = 1000000;

struct Judgement {
  bool right = false;
  // Each problem, in the order found; past the first few of a kind, a count.
  std::vector<std::string> problems;
  // Each "KEYWORD: what happened: what to try", the most specific first.
  std::vector<std::string> causes;
  // "ok: ..." or "FAILED: ...", one line.
  std::string summary;
};

// Judges OUTPUT as that of a job of PROCESS_COUNT processes. ERRORS is what
// the job wrote on its standard error, where it was kept apart. RUN is the
// job's run, with its deadline of SECONDS, when it was run under one.
Judgement judge(std::string_view output, int process_count, std::string_view errors,
                const JobRun* run, int seconds);

// Whether OUTPUT is already the whole right output, with nothing else.
bool output_right(std::string_view output, int process_count);

// TEXT as a whole number from 1 to MAX, digits only; 0 when it is not one.
int parse_count(std::string_view text, int max);

#endif
