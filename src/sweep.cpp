#include "sweep.h"

#include <algorithm>
#include <cstddef>
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
void blame_links(const Matrix& matrix, const std::vector<std::string>& names,
                 const std::vector<bool>& blamed, std::vector<std::string>& lines) {
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
    lines.push_back("suspect network: " + std::to_string(unexplained.size()) + " of " +
                    std::to_string(considered) +
                    " pairs of nodes fail, too many for a node or a link, first " +
                    link_name(names, first) + ": " + matrix.pair(first.first, first.second).cause);
    return;
  }
  for (const Pair& pair : unexplained) {
    lines.push_back("suspect link " + link_name(names, pair) +
                    ": the pair fails, both pass by themselves and with most other nodes: " +
                    matrix.pair(pair.first, pair.second).cause);
  }
}

}  // namespace

std::vector<std::string> blame(const Matrix& matrix, const std::vector<std::string>& names) {
  const int count = matrix.count();
  std::vector<std::string> lines;
  std::vector<bool> blamed(count);
  for (int node = 0; node < count; ++node) {
    if (failed(matrix.alone(node).verdict)) {
      blamed[node] = true;
      lines.push_back("suspect node " + names[node] +
                      ": fails by itself: " + matrix.alone(node).cause);
    }
  }
  // Two nodes have one pair, which cannot tell a link from either node.
  if (count == 2 && lines.empty() && failed(matrix.pair(0, 1).verdict)) {
    const std::string& cause = matrix.pair(0, 1).cause;
    for (int node = 0; node < 2; ++node) {
      lines.push_back("suspect node " + names[node] + ": passes by itself, fails with " +
                      names[1 - node] + ": " + cause);
    }
    lines.push_back("suspect link " + link_name(names, {0, 1}) +
                    ": the pair fails, and two nodes cannot tell it from either node: " + cause);
    return lines;
  }
  // Judged against the verdicts alone, before any node is blamed for its pairs.
  std::vector<bool> by_pairs(count);
  for (int node = 0; node < count; ++node) {
    std::string cause;
    by_pairs[node] = !blamed[node] && blamed_for_pairs(matrix, node, cause);
    if (by_pairs[node]) {
      const Record own = record(matrix, node, -1);
      lines.push_back("suspect node " + names[node] + ": passes by itself, fails with " +
                      std::to_string(own.failed) + " of the " + std::to_string(own.tried) +
                      " nodes it was paired with, which pass with others: " + cause);
    }
  }
  for (int node = 0; node < count; ++node) {
    blamed[node] = blamed[node] || by_pairs[node];
  }
  blame_links(matrix, names, blamed, lines);
  if (lines.empty() && failed(matrix.whole().verdict)) {
    lines.push_back("suspect whole job: every node and pair passes, but the job on all " +
                    std::to_string(count) + " nodes fails: " + matrix.whole().cause);
  }
  return lines;
}
