#include "sweep.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

std::vector<Wave> every_pair(int count) {
  // One seat is fixed and the others turn round it, each round pairing
  // opposite seats; with an odd count the fixed seat is empty, a bye.
  const int seats = count + (count % 2);
  std::vector<Wave> waves;
  for (int round = 0; round + 1 < seats; ++round) {
    Wave wave;
    const int turning = seats - 1;
    if (seats - 1 < count) {
      wave.emplace_back(std::min(round, seats - 1), std::max(round, seats - 1));
    }
    for (int step = 1; step < seats / 2; ++step) {
      const int ahead = (round + step) % turning;
      const int behind = (round - step + turning) % turning;
      wave.emplace_back(std::min(ahead, behind), std::max(ahead, behind));
    }
    if (!wave.empty()) {
      waves.push_back(wave);
    }
  }
  return waves;
}

std::vector<Wave> in_waves(const std::vector<Pair>& pairs) {
  std::vector<Wave> waves;
  std::vector<std::vector<bool>> busy;
  for (const Pair& pair : pairs) {
    const int needed = std::max(pair.first, pair.second) + 1;
    size_t wave = 0;
    for (; wave < waves.size(); ++wave) {
      auto& taken = busy[wave];
      if (taken.size() < static_cast<size_t>(needed)) {
        taken.resize(needed);
      }
      if (!taken[pair.first] && !taken[pair.second]) {
        break;
      }
    }
    if (wave == waves.size()) {
      waves.emplace_back();
      busy.emplace_back(needed);
    }
    waves[wave].push_back(pair);
    busy[wave][pair.first] = true;
    busy[wave][pair.second] = true;
  }
  return waves;
}

std::vector<Wave> ring_pairs(int count) {
  std::vector<Pair> pairs;
  const int links = count >= 3 ? count : count - 1;
  for (int node = 0; node < links; ++node) {
    const int next = (node + 1) % count;
    pairs.emplace_back(std::min(node, next), std::max(node, next));
  }
  return in_waves(pairs);
}

bool failed(Verdict verdict) { return verdict == Verdict::kFail || verdict == Verdict::kNoEnd; }

namespace {

// How the pairs of a node went, leaving out one other node.
struct Record {
  int tried = 0;
  int failed = 0;
  bool mostly_fails() const { return 2 * failed > tried; }
};

Record record(const Matrix& matrix, int whose, int without) {
  Record result;
  for (int other = 0; other < matrix.count(); ++other) {
    const Verdict verdict = matrix.pair(whose, other).verdict;
    if (other != whose && other != without && verdict != Verdict::kNotRun) {
      ++result.tried;
      result.failed += failed(verdict) ? 1 : 0;
    }
  }
  return result;
}

// A node that passes by itself is to blame for its pairs when it fails with
// most of the nodes it was paired with, and most of those pass with others.
bool blamed_for_pairs(const Matrix& matrix, int node, std::string& cause) {
  const Record own = record(matrix, node, -1);
  if (own.tried < 2 || !own.mostly_fails()) {
    return false;
  }
  int others_fine = 0;
  for (int other = 0; other < matrix.count(); ++other) {
    const Outcome& pair = matrix.pair(node, other);
    if (other != node && failed(pair.verdict)) {
      others_fine += record(matrix, other, node).mostly_fails() ? 0 : 1;
      cause = cause.empty() ? pair.cause : cause;
    }
  }
  return 2 * others_fine > own.failed;
}

std::string link_name(const std::vector<std::string>& names, const Pair& pair) {
  return names[pair.first] + " " + names[pair.second];
}

// The failed pairs that no blamed node explains: each a link, or, when they
// are most of the pairs, the network.
// How a line of findings begins, and what its jobs did.
struct Words {
  const char* prefix;  // "suspect" or "flaky"
  const char* fails;   // "fails" or "fails now and then"
};

void blame_links(const Matrix& matrix, const std::vector<std::string>& names,
                 const std::vector<bool>& blamed, const Words& words,
                 std::vector<std::string>& lines) {
  std::vector<Pair> unexplained;
  size_t considered = 0;
  for (int first = 0; first < matrix.count(); ++first) {
    for (int second = first + 1; second < matrix.count(); ++second) {
      const Verdict verdict = matrix.pair(first, second).verdict;
      if (!blamed[first] && !blamed[second] && verdict != Verdict::kNotRun) {
        ++considered;
        if (failed(verdict)) {
          unexplained.emplace_back(first, second);
        }
      }
    }
  }
  if (unexplained.size() >= 2 && 2 * unexplained.size() > considered) {
    const Pair& first = unexplained.front();
    lines.push_back(std::string(words.prefix) + " network: " + std::to_string(unexplained.size()) +
                    " of " + std::to_string(considered) + " pairs of nodes " + words.fails +
                    ", too many for a node or a link, first " + link_name(names, first) + ": " +
                    matrix.pair(first.first, first.second).cause);
    return;
  }
  for (const Pair& pair : unexplained) {
    lines.push_back(std::string(words.prefix) + " link " + link_name(names, pair) + ": the pair " +
                    words.fails + ", both pass by themselves and with most other nodes: " +
                    matrix.pair(pair.first, pair.second).cause);
  }
}

std::vector<std::string> place(const Matrix& matrix, const std::vector<std::string>& names,
                               const Words& words) {
  const int count = matrix.count();
  const std::string fails = words.fails;
  const std::string with = ": passes by itself, " + fails + " with ";
  std::vector<std::string> lines;
  std::vector<bool> blamed(count);
  for (int node = 0; node < count; ++node) {
    if (failed(matrix.alone(node).verdict)) {
      blamed[node] = true;
      lines.push_back(std::string(words.prefix) + " node " + names[node] + ": " + fails +
                      " by itself: " + matrix.alone(node).cause);
    }
  }
  // Two nodes have one pair, which cannot tell a link from either node.
  if (count == 2 && lines.empty() && failed(matrix.pair(0, 1).verdict)) {
    const std::string& cause = matrix.pair(0, 1).cause;
    for (int node = 0; node < 2; ++node) {
      lines.push_back(std::string(words.prefix)
                          .append(" node ")
                          .append(names[node])
                          .append(with)
                          .append(names[1 - node])
                          .append(": ")
                          .append(cause));
    }
    lines.push_back(std::string(words.prefix) + " link " + link_name(names, {0, 1}) +
                    ": the pair " + fails +
                    ", and two nodes cannot tell it from either node: " + cause);
    return lines;
  }
  // Judged against the verdicts alone, before any node is blamed for its pairs.
  std::vector<bool> by_pairs(count);
  for (int node = 0; node < count; ++node) {
    std::string cause;
    by_pairs[node] = !blamed[node] && blamed_for_pairs(matrix, node, cause);
    if (by_pairs[node]) {
      const Record own = record(matrix, node, -1);
      lines.push_back(std::string(words.prefix)
                          .append(" node ")
                          .append(names[node])
                          .append(with)
                          .append(std::to_string(own.failed))
                          .append(" of the ")
                          .append(std::to_string(own.tried))
                          .append(" nodes it was paired with, which pass with others: ")
                          .append(cause));
    }
  }
  for (int node = 0; node < count; ++node) {
    blamed[node] = blamed[node] || by_pairs[node];
  }
  blame_links(matrix, names, blamed, words, lines);
  if (lines.empty() && failed(matrix.whole().verdict)) {
    lines.push_back(std::string(words.prefix) +
                    " whole job: every node and pair passes, but the job on all " +
                    std::to_string(count) + " nodes " + fails + ": " + matrix.whole().cause);
  }
  return lines;
}

}  // namespace

std::vector<std::string> blame(const Matrix& matrix, const std::vector<std::string>& names) {
  return place(matrix, names, {"suspect", "fails"});
}

int failed_runs(const Outcome& outcome) {
  return static_cast<int>(
      std::count_if(outcome.runs.begin(), outcome.runs.end(),
                    [](const Run& run) { return failed(run.verdict) && !run.excused; }));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void add_run(Outcome& outcome, Run run) {
  outcome.runs.push_back(std::move(run));
  std::vector<double> passes;
  for (const Run& each : outcome.runs) {
    if (each.verdict == Verdict::kPass) {
      passes.push_back(each.seconds);
    }
  }
  outcome.seconds = passes.empty() ? outcome.runs.back().seconds
                                   : *std::min_element(passes.begin(), passes.end());
}

std::vector<std::string> flaky(const Matrix& matrix, const std::vector<std::string>& names) {
  // Only jobs that passed in the end, each failing where it failed a run.
  const auto shown = [](const Outcome& outcome) {
    Outcome view;
    if (outcome.verdict != Verdict::kPass) {
      return view;
    }
    const int bad = failed_runs(outcome);
    view.verdict = bad == 0 ? Verdict::kPass : Verdict::kFail;
    std::string causes;
    for (const Run& run : outcome.runs) {
      if (failed(run.verdict) && !run.excused && causes.find(run.cause) == std::string::npos) {
        causes += (causes.empty() ? "" : "; ") + run.cause;
      }
    }
    view.cause = std::to_string(bad) + " of " + std::to_string(outcome.runs.size()) +
                 " runs failed (" + causes + ")";
    return view;
  };
  const int count = matrix.count();
  Matrix view(count);
  for (int node = 0; node < count; ++node) {
    view.alone(node) = shown(matrix.alone(node));
    for (int other = node + 1; other < count; ++other) {
      view.pair(node, other) = shown(matrix.pair(node, other));
    }
  }
  view.whole() = shown(matrix.whole());
  return place(view, names, {"flaky", "fails now and then"});
}

bool markedly(double seconds, double reference, double spread, const Rules& rules) {
  return seconds >= rules.factor * reference && seconds - reference >= rules.more &&
         seconds - reference >= rules.spreads * spread;
}

namespace {

constexpr size_t kSecondsWidth = 16;

std::string seconds_text(double seconds) {
  std::string text(kSecondsWidth, '\0');
  text.resize(std::snprintf(text.data(), text.size(), "%.2f s", seconds));
  return text;
}

bool timed(const Outcome& outcome) { return outcome.verdict == Verdict::kPass; }

// How far TIMES stray, as a standard deviation would without their outliers;
// 0 for too few to tell, where the floors alone hold.
double spread(const std::vector<double>& times) {
  constexpr double kNormal = 1.4826;
  constexpr size_t kFewest = 6;
  if (times.size() < kFewest) {
    return 0.0;
  }
  const double middle = median(times);
  std::vector<double> deviations;
  deviations.reserve(times.size());
  for (const double time : times) {
    deviations.push_back(std::abs(time - middle));
  }
  return kNormal * median(deviations);
}

// The times of the passed pairs of NODE, leaving out one other node and
// those marked in LEFT_OUT.
std::vector<double> pair_times(const Matrix& matrix, int node, int without,
                               const std::vector<bool>& left_out) {
  std::vector<double> times;
  for (int other = 0; other < matrix.count(); ++other) {
    if (other != node && other != without && !left_out[other] && timed(matrix.pair(node, other))) {
      times.push_back(matrix.pair(node, other).seconds);
    }
  }
  return times;
}

// Each node's median against the median of the jobs it is not in.
struct NodeTimes {
  double mine = 0.0;
  double rest = 0.0;
  double spread = 0.0;  // of the rest
  bool known = false;
};

NodeTimes node_times(const Matrix& matrix, int node) {
  std::vector<double> mine = pair_times(matrix, node, -1, std::vector<bool>(matrix.count()));
  std::vector<double> rest;
  if (timed(matrix.alone(node))) {
    mine.push_back(matrix.alone(node).seconds);
  }
  for (int first = 0; first < matrix.count(); ++first) {
    if (first == node) {
      continue;
    }
    if (timed(matrix.alone(first))) {
      rest.push_back(matrix.alone(first).seconds);
    }
    for (int second = first + 1; second < matrix.count(); ++second) {
      if (second != node && timed(matrix.pair(first, second))) {
        rest.push_back(matrix.pair(first, second).seconds);
      }
    }
  }
  if (mine.empty() || rest.empty()) {
    return {};
  }
  return {median(mine), median(rest), spread(rest), true};
}

}  // namespace

std::vector<std::string> slow(const Matrix& matrix, const std::vector<std::string>& names,
                              const Rules& rules, std::vector<Pair>* candidates) {
  const int count = matrix.count();
  std::vector<std::string> lines;
  if (count < rules.least_nodes) {
    return lines;
  }
  std::vector<bool> is_slow(count);
  for (int node = 0; node < count; ++node) {
    const NodeTimes times = node_times(matrix, node);
    is_slow[node] = times.known && markedly(times.mine, times.rest, times.spread, rules);
    if (is_slow[node]) {
      lines.push_back("slow node " + names[node] + ": its jobs take " + seconds_text(times.mine) +
                      " (median), the others' " + seconds_text(times.rest));
    }
  }
  // A slow node's pairs are slow for it: they would hide a slow link among
  // the others.
  std::vector<double> pairs;
  for (int first = 0; first < count; ++first) {
    for (int second = first + 1; second < count; ++second) {
      if (!is_slow[first] && !is_slow[second] && timed(matrix.pair(first, second))) {
        pairs.push_back(matrix.pair(first, second).seconds);
      }
    }
  }
  const double pairs_spread = spread(pairs);
  for (int first = 0; first < count; ++first) {
    for (int second = first + 1; second < count; ++second) {
      const Outcome& pair = matrix.pair(first, second);
      const std::vector<double> ones = pair_times(matrix, first, second, is_slow);
      const std::vector<double> others = pair_times(matrix, second, first, is_slow);
      if (is_slow[first] || is_slow[second] || !timed(pair) || ones.empty() || others.empty()) {
        continue;
      }
      const double one = median(ones);
      const double other = median(others);
      if (!markedly(pair.seconds, std::max(one, other), pairs_spread, rules)) {
        continue;
      }
      if (candidates != nullptr) {
        candidates->emplace_back(first, second);
      }
      lines.push_back("slow link " + link_name(names, {first, second}) + ": the pair takes " +
                      seconds_text(pair.seconds) + ", the other pairs of " + names[first] + " " +
                      seconds_text(one) + " and of " + names[second] + " " + seconds_text(other) +
                      " (medians)");
    }
  }
  return lines;
}
