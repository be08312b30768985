// How a sweep runs its jobs: the nodes by themselves, then the pairs in
// waves, then the whole job; each job that failed runs again by itself, and
// one that hung twice runs once more the other way an allocation offers.
#ifndef TRAPEZOID_SWEEP_RUN_H
#define TRAPEZOID_SWEEP_RUN_H

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "job.h"
#include "sweep_launch.h"
#include "sweep_report.h"

// The verdict on a job's run of COUNT processes under a deadline of SECONDS.
Outcome outcome_of(const JobRun& run, int count, int seconds);

class Sweeper {
 public:
  struct Plan {
    int deadline;    // seconds a job may take
    int repeat = 1;  // runs of every pair
    Rules rules;     // what slower markedly means
  };

  // SAY takes each line of progress.
  Sweeper(const Launcher& launcher, const Plan& plan, std::function<void(const std::string&)> say);

  // Launches uname -n on the first two nodes the way each job will start,
  // and the other way too where there is one; returns what a wrong placement
  // got, or an empty string. The other way is dropped if its placement is wrong.
  std::string check_placement();

  // Runs the nodes by themselves, every pair of WAVES and the whole job.
  void run(Sweep& sweep);

  // Whether any job wrote on its standard output.
  bool anything_written() const { return wrote_; }

  // Lines that name no node: jobs that hung only one way, and jobs that
  // failed once in the MPI itself.
  std::vector<std::string> notes() const;

 private:
  struct Planned {
    std::string kind;
    std::vector<int> nodes;
    Outcome* outcome;
  };

  void side_by_side(const std::string& title, const std::vector<Planned>& jobs);
  // Each of JOBS that failed, again, one at a time.
  void again(const std::vector<Planned>& jobs);
  // Runs a failed JOB again by itself, and the other way after a second
  // hang; returns how it ran.
  std::string rerun(const Planned& job);
  Outcome once(const Planned& job, Via via);
  // A job on NODES: the program, which may end its launcher once its output
  // is complete, or COMMAND.
  Job job_on(const std::vector<int>& nodes, Via via, const Command& command);
  JobRun launch(const std::vector<int>& nodes, Via via, const Command& command);
  std::string names(const std::vector<int>& nodes) const;
  void run_waves(Sweep& sweep, int round);
  // Each pair that looks slow, again by itself.
  void retest_slow(Sweep& sweep);
  void run_whole(Sweep& sweep);

  const Launcher& launcher_;
  int per_node_;
  int deadline_;
  int repeat_;
  Rules rules_;
  std::function<void(const std::string&)> say_;
  bool other_ = false;
  size_t started_ = 0;
  size_t jobs_ = 0;
  std::set<const Outcome*> hung_one_way_;  // jobs that passed only the other way
  size_t hung_once_ = 0;                   // under the way not measured reliable
  std::vector<std::string> mpi_own_;       // each job's nodes and what failed
  bool wrote_ = false;
};

#endif
