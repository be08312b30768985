// The sweep's schedule, blame and launch lines, without a cluster: every
// pair exactly once in the fewest waves, the suspects each pattern of
// verdicts points at, each way's line as words, and a placement read back.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "sweep.h"
#include "sweep_launch.h"

namespace {

int failures = 0;

void expect(bool holds, const std::string& what) {
  if (!holds) {
    std::printf("FAIL: %s\n", what.c_str());
    ++failures;
  }
}

// LINES are WANTED, else WHAT and each line quoted is a failure.
void expect_lines(const std::vector<std::string>& lines, const std::vector<std::string>& wanted,
                  std::string what) {
  for (const std::string& line : lines) {
    what += "'" + line + "' ";
  }
  expect(lines == wanted, what);
}

// Every pair once, disjoint within a wave, in COUNT - 1 or COUNT waves.
void check_schedule(int count) {
  const std::vector<Wave> waves = every_pair(count);
  std::set<Pair> seen;
  for (const Wave& wave : waves) {
    std::set<int> busy;
    for (const Pair& pair : wave) {
      const bool fresh = seen.insert(pair).second;
      expect(fresh && pair.first < pair.second && pair.second < count,
             std::to_string(count) + " nodes: pair " + std::to_string(pair.first) + "," +
                 std::to_string(pair.second) + " out of range or twice");
      expect(busy.insert(pair.first).second && busy.insert(pair.second).second,
             std::to_string(count) + " nodes: a node twice in one wave");
    }
  }
  const size_t all = static_cast<size_t>(count) * (count - 1) / 2;
  expect(seen.size() == all, std::to_string(count) + " nodes: " + std::to_string(seen.size()) +
                                 " pairs, not " + std::to_string(all));
  const size_t fewest = count < 2 ? 0 : static_cast<size_t>(count - 1 + (count % 2));
  expect(waves.size() == fewest, std::to_string(count) + " nodes: " + std::to_string(waves.size()) +
                                     " waves, not " + std::to_string(fewest));
}

struct Row {
  const char* name;
  int count;
  bool ring;
  std::vector<int> failing_alone;
  std::vector<Pair> failing_pairs;  // of those run
  bool whole_fails;
  std::vector<std::string> suspects;  // each line up to its colon
};

std::vector<std::string> blamed(const Row& row) {
  Matrix matrix(row.count);
  std::vector<std::string> names;
  for (int node = 0; node < row.count; ++node) {
    names.push_back("n" + std::to_string(node));
    matrix.alone(node).verdict = Verdict::kPass;
  }
  for (const int node : row.failing_alone) {
    matrix.alone(node).verdict = Verdict::kFail;
  }
  const std::set<Pair> failing(row.failing_pairs.begin(), row.failing_pairs.end());
  for (const Wave& wave : row.ring ? ring_pairs(row.count) : every_pair(row.count)) {
    for (const Pair& pair : wave) {
      const bool skipped =
          failed(matrix.alone(pair.first).verdict) || failed(matrix.alone(pair.second).verdict);
      Verdict verdict = failing.count(pair) != 0 ? Verdict::kNoEnd : Verdict::kPass;
      matrix.pair(pair.first, pair.second).verdict = skipped ? Verdict::kNotRun : verdict;
    }
  }
  matrix.whole().verdict = row.whole_fails ? Verdict::kFail : Verdict::kPass;
  std::vector<std::string> lines;
  for (const std::string& line : blame(matrix, names)) {
    lines.push_back(line.substr(0, line.find(':')));
  }
  return lines;
}

// The rows with a bad NIC have this many nodes.
constexpr int kNicRowNodes = 6;
constexpr int kMostNodes = 200;

std::vector<Pair> pairs_with(int node) {
  std::vector<Pair> pairs;
  for (int other = 0; other < kNicRowNodes; ++other) {
    if (other != node) {
      pairs.emplace_back(std::min(node, other), std::max(node, other));
    }
  }
  return pairs;
}

std::vector<Pair> every_pair_failing(int count) {
  std::vector<Pair> pairs;
  for (int first = 0; first < count; ++first) {
    for (int second = first + 1; second < count; ++second) {
      pairs.emplace_back(first, second);
    }
  }
  return pairs;
}

// The facts of each MPI as its build writes them (cmake/mpi.cmake).
const Facts kMpich = {
    {"TRAPEZOID_MPIEXEC", "/usr/bin/mpiexec.mpich"},
    {"TRAPEZOID_NUMPROC_FLAG", "-n"},
    {"TRAPEZOID_HOST_LINE", "{host}:{slots}"},
    {"TRAPEZOID_REMOTE_FLAGS", "-launcher rsh -launcher-exec {rsh} -f {hostfile}"},
    {"TRAPEZOID_ALLOCATION_FLAGS", "-hosts {hosts}"}};
const Facts kOpenMpi = {
    {"TRAPEZOID_MPIEXEC", "/usr/bin/mpiexec.openmpi"},
    {"TRAPEZOID_NUMPROC_FLAG", "-n"},
    {"TRAPEZOID_HOST_LINE", "{host} slots={slots}"},
    {"TRAPEZOID_REMOTE_FLAGS", "--mca plm_rsh_agent {rsh} --hostfile {hostfile}"},
    {"TRAPEZOID_ALLOCATION_FLAGS", "--host {hosts} --map-by ppr:{slots}:node:OVERSUBSCRIBE"}};

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "[" : "] [") + word;
  }
  return text + "]";
}

// Each word of a line is one argument, never split or run by a shell: a
// wrap word with blanks, hosts and a remote shell's path stay whole.
void check_lines() {
  struct LineRow {
    const char* name;
    const Facts* facts;
    int via;  // 0 srun, 1 mpiexec, 2 hostfile
    std::vector<std::string> wrap;
    Command command;
    std::string expected;
  };
  const std::string hosts = "n1 n2";
  const std::vector<LineRow> rows = {
      {"srun",
       &kMpich,
       0,
       {},
       {},
       "[srun] [--mpi=pmi2] [--nodes=2] [--ntasks=6] [--ntasks-per-node=3] [--nodelist=n1,n2] "
       "[--overlap] [--overcommit] [--kill-on-bad-exit=1] [/b/trapezoid]"},
      {"MPICH's mpiexec",
       &kMpich,
       1,
       {},
       {},
       "[/usr/bin/mpiexec.mpich] [-n] [6] [-hosts] [n1:3,n2:3] [/b/trapezoid]"},
      {"Open MPI's mpiexec",
       &kOpenMpi,
       1,
       {"ch-run", "/my image", "--"},
       {},
       "[/usr/bin/mpiexec.openmpi] [-n] [6] [--host] [n1:3,n2:3] [--map-by] "
       "[ppr:3:node:OVERSUBSCRIBE] [ch-run] [/my image] [--] [/b/trapezoid]"},
      {"placement, unwrapped",
       &kOpenMpi,
       1,
       {"ch-run", "/i", "--"},
       {"uname", "-n"},
       "[/usr/bin/mpiexec.openmpi] [-n] [6] [--host] [n1:3,n2:3] [--map-by] "
       "[ppr:3:node:OVERSUBSCRIBE] [uname] [-n]"},
      {"Open MPI's hostfile",
       &kOpenMpi,
       2,
       {},
       {},
       "[/usr/bin/mpiexec.openmpi] [-n] [6] [--mca] [plm_rsh_agent] [/my rsh] [--hostfile] "
       "[/t/job 1.hosts] [/b/trapezoid]"},
  };
  for (const LineRow& row : rows) {
    const LaunchSettings settings{*row.facts, "pmi2", "/my rsh", 3, row.wrap, "/b/trapezoid"};
    const std::vector<std::string> line =
        row.via == 2 ? hostfile_line(settings, "/t/job 1.hosts", 2, row.command)
                     : allocation_line(settings, row.via == 0 ? Via::kSrun : Via::kMpiexec,
                                       {"n1", "n2"}, row.command);
    expect(joined(line) == row.expected, std::string(row.name) + ": " + joined(line));
  }
  const LaunchSettings mpich{kMpich, "", "", 2, {}, ""};
  expect(hostfile_text(mpich, {"a", "b"}) == "a:2\nb:2\n", "MPICH's hostfile");
}

void check_placement() {
  struct PlacementRow {
    const char* output;
    size_t nodes;
    int per_node;
    const char* expected;
  };
  const std::vector<PlacementRow> rows = {
      {"a\nb\nb\na\n", 2, 2, ""},
      {"a\n", 1, 1, ""},
      {"a\na\na\na\n", 2, 2, "4 on a"},
      {"a\nb\na\n", 2, 2, "2 on a, 1 on b"},
      {"a\nb\nc\nc\n", 2, 2, "1 on a, 1 on b, 2 on c"},
      {"", 2, 2, "no host name"},
  };
  for (const PlacementRow& row : rows) {
    const std::string said = misplaced(row.output, row.nodes, row.per_node);
    expect(said == row.expected, "placement of '" + std::string(row.output) + "': '" + said + "'");
  }
}

// A sweep whose jobs all passed, each in BASE seconds, with a
// deterministic jitter of up to JITTER seconds; the plants make a node's
// jobs or one pair slower, or a job fail a first run.
struct TimedRow {
  const char* name;
  int count;
  double base;
  double jitter;
  int slow_node;   // -1 for none
  Pair slow_pair;  // {0, 0} for none
  double extra;    // seconds the plants add
  int flaky_node;  // fails its first run by itself
  Pair flaky_pair;
  bool excused;                       // the flaky runs were the MPI's
  std::vector<std::string> findings;  // each line up to its colon
};

std::vector<std::string> found(const TimedRow& row) {
  Matrix matrix(row.count);
  std::vector<std::string> names;
  int turn = 0;
  const auto timed = [&](Outcome& outcome, double extra, bool flaky) {
    constexpr int kSteps = 7;
    constexpr int kStride = 3;
    constexpr double kDeadline = 10.0;
    const double seconds =
        row.base + extra + row.jitter * ((turn++ * kStride) % kSteps) / (kSteps - 1);
    if (flaky) {
      add_run(outcome, {Verdict::kNoEnd, kDeadline, "no end within 10 s", "srun", row.excused});
    }
    add_run(outcome, {Verdict::kPass, seconds, "", "srun", false});
    outcome.verdict = Verdict::kPass;
  };
  for (int node = 0; node < row.count; ++node) {
    names.push_back("n" + std::to_string(node));
    timed(matrix.alone(node), node == row.slow_node ? row.extra : 0.0, node == row.flaky_node);
  }
  for (const Pair& pair : every_pair_failing(row.count)) {
    const bool slow =
        pair == row.slow_pair || pair.first == row.slow_node || pair.second == row.slow_node;
    timed(matrix.pair(pair.first, pair.second), slow ? row.extra : 0.0, pair == row.flaky_pair);
  }
  timed(matrix.whole(), 0.0, false);
  std::vector<std::string> lines;
  for (auto&& some : {slow(matrix, names, Rules{}), flaky(matrix, names)}) {
    for (const std::string& line : some) {
      lines.push_back(line.substr(0, line.find(':')));
    }
  }
  return lines;
}

void check_findings() {
  const Pair none{0, 0};
  const std::vector<TimedRow> rows = {
      {"healthy, jitter of 0.9 s", 8, 1, 0.9, -1, none, 0, -1, none, false, {}},
      {"a slow node, its pairs slow too", 5, 1, 0.3, 2, none, 5, -1, none, false, {"slow node n2"}},
      {"a slow node among 3", 3, 1, 0.3, 1, none, 5, -1, none, false, {"slow node n1"}},
      {"a slow node among 2 is not judged", 2, 1, 0.3, 1, none, 5, -1, none, false, {}},
      {"a slow link", 5, 1, 0.3, -1, {1, 3}, 5, -1, none, false, {"slow link n1 n3"}},
      {"a slow node and a slow link",
       5,
       1,
       0.3,
       2,
       {1, 3},
       5,
       -1,
       none,
       false,
       {"slow node n2", "slow link n1 n3"}},
      {"a slower link within wide jitter", 8, 1, 5, -1, {1, 3}, 4, -1, none, false, {}},
      {"3.5 s more, but not twice", 5, 4, 0, -1, {1, 3}, 3.5, -1, none, false, {}},
      {"twice, but not 3 s more", 5, 0.4, 0, -1, {1, 3}, 2.5, -1, none, false, {}},
      {"a flaky node", 5, 1, 0.3, -1, none, 0, 4, none, false, {"flaky node n4"}},
      {"a flaky link", 5, 1, 0.3, -1, none, 0, -1, {0, 2}, false, {"flaky link n0 n2"}},
      {"the MPI's own failure", 5, 1, 0.3, -1, none, 0, -1, {0, 2}, true, {}},
  };
  for (const TimedRow& row : rows) {
    expect_lines(found(row), row.findings, std::string(row.name) + ": found ");
  }
}

}  // namespace

int main() {
  check_findings();
  check_lines();
  check_placement();
  for (int count = 1; count <= kMostNodes; ++count) {
    check_schedule(count);
  }
  const std::vector<Row> rows = {
      {"healthy", 5, false, {}, {}, false, {}},
      {"a node that fails by itself", 5, false, {2}, {}, true, {"suspect node n2"}},
      {"a bad NIC", kNicRowNodes, false, {}, pairs_with(3), true, {"suspect node n3"}},
      {"a bad link, not neighbours", 5, false, {}, {{0, 3}}, true, {"suspect link n0 n3"}},
      {"two bad links",
       6,
       false,
       {},
       {{0, 3}, {1, 4}},
       true,
       {"suspect link n0 n3", "suspect link n1 n4"}},
      {"most pairs fail", 6, false, {}, every_pair_failing(6), true, {"suspect network"}},
      {"two nodes",
       2,
       false,
       {},
       {{0, 1}},
       true,
       {"suspect node n0", "suspect node n1", "suspect link n0 n1"}},
      {"three nodes, a bad link", 3, false, {}, {{0, 2}}, true, {"suspect link n0 n2"}},
      {"three nodes, a bad NIC", 3, false, {}, {{0, 1}, {1, 2}}, true, {"suspect node n1"}},
      {"three nodes, all fail", 3, false, {}, every_pair_failing(3), true, {"suspect network"}},
      {"only the whole job fails", 4, false, {}, {}, true, {"suspect whole job"}},
      {"ring, a bad NIC", 5, true, {}, {{1, 2}, {2, 3}}, true, {"suspect node n2"}},
      {"ring, a bad link", 5, true, {}, {{0, 4}}, true, {"suspect link n0 n4"}},
  };
  for (const Row& row : rows) {
    expect_lines(blamed(row), row.suspects, std::string(row.name) + ": blamed ");
  }
  std::printf("%s\n", failures == 0
                          ? "schedule of 1 to 200 nodes, blame, launch lines and placement: ok"
                          : "FAILED");
  return failures == 0 ? 0 : 1;
}
