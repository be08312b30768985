// Runs the job to be checked under a deadline, and ends all of it.
#ifndef TRAPEZOID_JOB_H
#define TRAPEZOID_JOB_H

#include <string>
#include <vector>

struct JobRun {
  std::string output;    // standard output, up to the deadline
  std::string errors;    // standard error, up to the deadline
  bool stopped = false;  // the deadline passed, or a signal came, and the job was ended
  std::string failure;   // how the command ended when it did not exit with status 0 by itself
};

// Runs COMMAND with no input and its standard output and error into pipes, in
// a process group of its own. At the deadline the group gets SIGTERM, then
// SIGKILL a few seconds later; whatever the job left behind on this machine
// is killed too. Returns an empty string, or why COMMAND could not be started.
std::string run_job(const std::vector<std::string>& command, int seconds, JobRun& run);

#endif
