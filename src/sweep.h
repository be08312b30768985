// What a sweep of a cluster runs, and what it concludes from the verdicts:
// which jobs share a wave, and which nodes and links are to blame.
#ifndef TRAPEZOID_SWEEP_H
#define TRAPEZOID_SWEEP_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Pair = std::pair<int, int>;  // two nodes' indices, the smaller first
using Wave = std::vector<Pair>;    // pairs with no node in common, run side by side

// Every pair of COUNT nodes exactly once, in COUNT - 1 waves for an even
// COUNT and COUNT for an odd one (the round-robin circle schedule).
std::vector<Wave> every_pair(int count);

// Each node with the next in a ring, the last with the first: one pair for
// two nodes, in two waves for an even count and three for an odd one.
std::vector<Wave> ring_pairs(int count);

// PAIRS in waves, each pair in the first wave that none of its nodes is in yet.
std::vector<Wave> in_waves(const std::vector<Pair>& pairs);

enum class Verdict : std::uint8_t { kNotRun, kPass, kFail, kNoEnd };

bool failed(Verdict verdict);

// One run of a job.
struct Run {
  Verdict verdict = Verdict::kNotRun;
  double seconds = 0.0;  // to its complete, right output if it passed, else to its end
  std::string cause;
  std::string way;       // srun, mpiexec or, with a hostfile, empty
  bool excused = false;  // a failure of the MPI's or the launcher's own, not of its nodes
};

struct Outcome {
  Verdict verdict = Verdict::kNotRun;
  std::string cause;     // why it failed, or a note on a pass
  double seconds = 0.0;  // what the findings go by: its fastest passing run
  std::string evidence;  // the first lines the job wrote, for a failure
  std::vector<Run> runs;
};

// The runs of OUTCOME that failed and are its nodes' doing.
int failed_runs(const Outcome& outcome);

double median(std::vector<double> values);

// Adds RUN to OUTCOME's runs; its seconds become the fastest pass's.
void add_run(Outcome& outcome, Run run);

// The verdicts of a sweep of COUNT nodes.
class Matrix {
 public:
  explicit Matrix(int count)
      : count_(count), alone_(count), pairs_(static_cast<size_t>(count) * count) {}
  int count() const { return count_; }
  Outcome& alone(int node) { return alone_[node]; }
  const Outcome& alone(int node) const { return alone_[node]; }
  Outcome& pair(int one, int other) { return pairs_[index(one, other)]; }
  const Outcome& pair(int one, int other) const { return pairs_[index(one, other)]; }
  Outcome& whole() { return whole_; }
  const Outcome& whole() const { return whole_; }

 private:
  size_t index(int one, int other) const {
    return (static_cast<size_t>(std::min(one, other)) * count_) + std::max(one, other);
  }
  int count_;
  std::vector<Outcome> alone_;
  std::vector<Outcome> pairs_;
  Outcome whole_;
};

// The suspects, one line each: "suspect node NODE: ...", "suspect link NODE
// NODE: ...", "suspect network: ..." or "suspect whole job: ...".
std::vector<std::string> blame(const Matrix& matrix, const std::vector<std::string>& names);

// What "markedly slower" means: at least FACTOR times the reference, at
// least MORE seconds over it, and over it by SPREADS times the spread of
// the like jobs' times (1.4826 times their median absolute deviation),
// among at least LEAST_NODES nodes.
constexpr double kSlowFactor = 2.0;
constexpr double kSlowSeconds = 3.0;
constexpr double kSlowSpreads = 3.0;
constexpr int kSlowLeastNodes = 3;

struct Rules {
  double factor = kSlowFactor;
  double more = kSlowSeconds;
  double spreads = kSlowSpreads;
  int least_nodes = kSlowLeastNodes;
};

bool markedly(double seconds, double reference, double spread, const Rules& rules);

// The jobs that passed but failed a run first, placed on nodes and links as
// the suspects are: "flaky node NODE: ...", "flaky link NODE NODE: ...".
std::vector<std::string> flaky(const Matrix& matrix, const std::vector<std::string>& names);

// A node whose jobs take markedly longer than the rest's ("slow node NODE:
// ..."), and a pair markedly slower than both its nodes' other pairs that no
// slow node explains ("slow link NODE NODE: ..."). With OUT set, the pairs
// that look slow, to be run again by themselves before they are judged.
std::vector<std::string> slow(const Matrix& matrix, const std::vector<std::string>& names,
                              const Rules& rules, std::vector<Pair>* candidates = nullptr);

#endif
