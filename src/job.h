// Runs jobs under a deadline, several side by side, and ends all of each.
#ifndef TRAPEZOID_JOB_H
#define TRAPEZOID_JOB_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct JobRun {
  bool started = false;  // its command could be started
  std::string output;    // standard output, up to the deadline
  std::string errors;    // standard error, up to the deadline
  bool stopped = false;  // the deadline passed, or a signal came, and the job was ended
  // The output was complete before the job was stopped: it did not end by itself.
  bool stopped_after_output = false;
  std::string failure;   // how the command ended when it did not exit with status 0 by itself
  double seconds = 0.0;  // from its start to its end
  double complete_seconds = 0.0;  // from its start to its complete output, when it was
};

struct Job {
  std::vector<std::string> command;
  // When set, tells from the output so far whether it is complete; the job
  // then has a few seconds to end by itself before it is stopped.
  std::function<bool(std::string_view output)> complete;
  JobRun run;
};

// How long a job whose output is complete has to end by itself.
constexpr int kSecondsAfterOutput = 3;

// Runs each job's command with no input and its standard output and error
// into pipes, in a process group of its own, all side by side. At a job's
// deadline its group gets SIGTERM, then SIGKILL a few seconds later; once
// all have ended, whatever they left behind on this machine is killed too.
// A command that cannot be started has its failure set. With interruptions
// caught, a signal ends every job the same way.
void run_jobs(std::vector<Job>& jobs, int seconds);

// Runs COMMAND as run_jobs does; a signal ends it and then this process.
// Returns an empty string, or why COMMAND could not be started.
std::string run_job(const std::vector<std::string>& command, int seconds, JobRun& run);

// From now on SIGINT, SIGTERM and SIGHUP are noted instead of ending this
// process; interrupted() returns the signal that came, or 0.
void catch_interruptions();
int interrupted();

#endif
