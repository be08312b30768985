// Judges the output of an NP-process trapezoid job, whatever launcher wrote
// it and in whatever order its lines came, and when it is wrong names the
// likely cause.
#include "check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "messages.h"

namespace {

constexpr int kTrapezoids = 100000;
constexpr std::string_view kTotal = "0.333333";
constexpr std::string_view kSuffix = " I'm here";
// What starts each build the packages make as one job.
constexpr const char* kMatchingLaunchers =
    "start MPICH's build with mpiexec.mpich or srun --mpi=pmi2, Open MPI's with "
    "mpiexec.openmpi or srun --mpi=pmix";

constexpr size_t kTextSize = 32;
using TextBuffer = std::array<char, kTextSize>;

// Problems of one kind beyond this many are counted, not shown.
constexpr int kShownPerKind = 10;
// Lines of other text kept for what they say.
constexpr size_t kSaidLines = 1000;
constexpr size_t kNamedRanges = 10;

// Each expected sum is exact but for one rounding; the program's, over up to
// 100000 additions, is off by a few units in the last place. A sum this close
// to the boundary between two six-digit texts may print as either: with 1000
// processes rank 3's is 1.233335e-08 exactly.
constexpr double kTolerance = 1e-10;

// The ranks that print one text, or near a boundary one of two. Ranks whose
// sums print alike share a group: all those past the last trapezoid print 0,
// and a rank of two trapezoids may print what one of one trapezoid does.
struct Group {
  std::vector<std::string_view> texts;
  std::vector<int> ranks;
  int seen = 0;
};

struct Expected {
  std::deque<std::string> texts;  // what the views below point into
  std::vector<Group> groups;
  std::unordered_map<std::string_view, int> group_of_text;
  std::vector<int> group_of_rank;
};

// "rank 3", "ranks 4, 9" or "ranks 100000 to 999999".
std::string name_ranks(const std::vector<int>& ranks) {
  std::string text = ranks.size() == 1 ? "rank " : "ranks ";
  if (ranks.size() > 2 && static_cast<size_t>(ranks.back() - ranks.front()) == ranks.size() - 1) {
    return text + std::to_string(ranks.front()) + " to " + std::to_string(ranks.back());
  }
  for (size_t i = 0; i < ranks.size(); ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(ranks[i]);
  }
  return text;
}

std::string describe(const Group& group) {
  std::string text = name_ranks(group.ranks);
  for (size_t i = 0; i < group.texts.size(); ++i) {
    text += (i == 0 ? ": '" : " or '") + std::string(group.texts[i]) + std::string(kSuffix) + "'";
  }
  return text;
}

// The text the program prints for VALUE: its stream's defaults, six significant digits.
std::string_view print(double value, TextBuffer& buffer) {
  constexpr int kDigits = 6;
  auto* const end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                  std::chars_format::general, kDigits)
                        .ptr;
  return {buffer.data(), static_cast<size_t>(end - buffer.data())};
}

// Over trapezoids k = first to end - 1 of width h, the sum of h (x_k^2 + x_(k+1)^2) / 2
// is h^3 (2 (end^3 - first^3) + end - first) / 6: exact in 64-bit integers, then
// rounded once, and printed as the program prints it.
Expected expected_reports(int process_count) {
  const double trapezoids = kTrapezoids;
  const double denominator = 6.0 * trapezoids * trapezoids * trapezoids;
  const int common = kTrapezoids / process_count;
  const int remainder = kTrapezoids % process_count;
  Expected expected;
  expected.group_of_rank.reserve(process_count);
  std::array<TextBuffer, 2> buffers{};
  for (int rank = 0; rank < process_count; ++rank) {
    const std::int64_t first = (rank * common) + std::min(rank, remainder);
    const std::int64_t end = first + (rank < remainder ? common + 1 : common);
    const std::int64_t sixfold = (2 * ((end * end * end) - (first * first * first))) + end - first;
    const double sum = static_cast<double>(sixfold) / denominator;
    const std::array<std::string_view, 2> texts = {print(sum * (1.0 - kTolerance), buffers[0]),
                                                   print(sum * (1.0 + kTolerance), buffers[1])};
    auto found = expected.group_of_text.find(texts[0]);
    if (found == expected.group_of_text.end()) {
      found = expected.group_of_text.find(texts[1]);
    }
    const int group = found == expected.group_of_text.end()
                          ? static_cast<int>(expected.groups.size())
                          : found->second;
    if (group == static_cast<int>(expected.groups.size())) {
      expected.groups.emplace_back();
    }
    expected.groups[group].ranks.push_back(rank);
    expected.group_of_rank.push_back(group);
    for (const std::string_view text : texts) {
      if (expected.group_of_text.count(text) == 0) {
        const std::string_view kept = expected.texts.emplace_back(text);
        expected.group_of_text.emplace(kept, group);
        expected.groups[group].texts.push_back(kept);
      }
    }
  }
  return expected;
}

bool is_number(std::string_view text) {
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// A launcher's label, which it puts before each line a process writes: the
// rank, and the line behind it. Forms: srun --label " 3: ", MPICH's -l or
// -prepend-rank "[3] ", Open MPI 4.1's --tag-output "[1,3]<stdout>:" and
// 5.0's "[1,3]<stdout>: ".
struct Labelled {
  int rank = -1;
  std::string_view text;
};

// Takes a whole number off the front of TEXT; -1 when there is none.
int take_number(std::string_view& text) {
  int number = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || number < 0) {
    return -1;
  }
  text.remove_prefix(end - text.data());
  return number;
}

bool take(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) {
    return false;
  }
  text.remove_prefix(prefix.size());
  return true;
}

Labelled strip_label(std::string_view line) {
  std::string_view rest = line;
  if (take(rest, "[")) {
    const int first = take_number(rest);
    if (first >= 0 && take(rest, "] ")) {
      return {first, rest};
    }
    const int rank = take(rest, ",") ? take_number(rest) : -1;
    if (rank >= 0 && (take(rest, "]<stdout>:") || take(rest, "]<stderr>:"))) {
      take(rest, " ");
      return {rank, rest};
    }
    return {-1, line};
  }
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  const int rank = take_number(rest);
  if (rank >= 0 && take(rest, ": ")) {
    return {rank, rest};
  }
  return {-1, line};
}

enum Kind : std::uint8_t {
  kOtherText,
  kBrokenLine,
  kUnknownValue,
  kWrongTotal,
  kWrongLabel,
  kRankCount,
  kTotalCount,
  kJobEnd,
  kKinds
};
constexpr std::array<const char*, kKinds> kMore = {
    "lines of other text",       "broken or fused lines",
    "values that are no rank's", "wrong totals",
    "lines under a wrong label", "ranks' lines missing or repeated",
    "problems with the total",   "problems with the job"};

// The problems found, in the order found, the first few of each kind in full.
class Problems {
 public:
  // MAKE_TEXT is called only for a problem that is shown.
  template <typename MakeText>
  void add(Kind kind, MakeText make_text) {
    if (counts_[kind]++ < kShownPerKind) {
      shown_.push_back(make_text());
    }
  }
  int count(Kind kind) const { return counts_[kind]; }
  int total() const {
    int total = 0;
    for (const int count : counts_) {
      total += count;
    }
    return total;
  }
  std::vector<std::string> listed() const {
    std::vector<std::string> lines = shown_;
    for (int kind = 0; kind < kKinds; ++kind) {
      if (counts_[kind] > kShownPerKind) {
        lines.push_back("... and " + std::to_string(counts_[kind] - kShownPerKind) + " more " +
                        kMore[kind]);
      }
    }
    return lines;
  }

 private:
  std::array<int, kKinds> counts_{};
  std::vector<std::string> shown_;
};

// What an output holds, beside its problems, for telling the cause.
struct Tally {
  Expected expected;
  Problems problems;
  int totals = 0;         // lines that are the total
  int reports = 0;        // report lines with a number, any number
  int whole_reports = 0;  // of those, lines of a job of one process, which sums everything
  int reported = 0;       // ranks whose line came
  std::string wrong_total;
  std::vector<std::string_view> said;  // the first lines of other text, in order
};

// Keeps LINE of other text for what it says, up to kSaidLines.
void keep_said(std::string_view line, Tally& tally) {
  if (tally.said.size() < kSaidLines) {
    tally.said.push_back(line);
  }
}

std::string where(int line_number) { return "line " + std::to_string(line_number) + ": "; }

// A report line with a number: its rank's, under that rank's label if any.
void count_report(std::string_view value, int label, int line_number, Tally& tally) {
  Expected& expected = tally.expected;
  ++tally.reports;
  tally.whole_reports += value == kTotal ? 1 : 0;
  const auto found = expected.group_of_text.find(value);
  if (found == expected.group_of_text.end()) {
    tally.problems.add(kUnknownValue, [&] {
      return where(line_number) + "value " + std::string(value) + " is no rank's";
    });
    return;
  }
  Group& group = expected.groups[found->second];
  ++group.seen;
  const int ranks = static_cast<int>(expected.group_of_rank.size());
  if (label >= 0 && (label >= ranks || expected.group_of_rank[label] != found->second)) {
    tally.problems.add(kWrongLabel, [&] {
      return where(line_number) + "labelled rank " + std::to_string(label) + ", but '" +
             std::string(value) + std::string(kSuffix) + "' is the line of " +
             name_ranks(group.ranks);
    });
  }
}

// Counts one line of output, and what is wrong with it.
void count_line(std::string_view line, int line_number, Tally& tally) {
  const Labelled labelled = strip_label(line);
  const std::string_view text = labelled.text;
  if (text == kTotal) {
    ++tally.totals;
    if (labelled.rank > 0) {
      tally.problems.add(kWrongLabel, [&] {
        return where(line_number) + "the total labelled rank " + std::to_string(labelled.rank) +
               ", not rank 0";
      });
    }
    return;
  }
  const bool is_report =
      text.size() > kSuffix.size() && text.substr(text.size() - kSuffix.size()) == kSuffix;
  const std::string_view value = text.substr(0, is_report ? text.size() - kSuffix.size() : 0);
  if (is_report && is_number(value)) {
    count_report(value, labelled.rank, line_number, tally);
    return;
  }
  // A line another process's output broke into, or that ran into another:
  // a rank's value alone, or text with the report's words in it.
  if (tally.expected.group_of_text.count(text) != 0 ||
      text.find(kSuffix.substr(1)) != std::string_view::npos) {
    tally.problems.add(kBrokenLine,
                       [&] { return where(line_number) + "broken or fused line " + quote(line); });
  } else if (is_number(text)) {
    tally.wrong_total = tally.wrong_total.empty() ? quote(text) : tally.wrong_total;
    tally.problems.add(kWrongTotal, [&] {
      return where(line_number) + "total " + std::string(text) + ", not " + std::string(kTotal);
    });
  } else {
    keep_said(line, tally);
    tally.problems.add(kOtherText,
                       [&] { return where(line_number) + "other text " + quote(line); });
  }
}

Tally count_output(std::string_view input, int process_count) {
  Tally tally;
  tally.expected = expected_reports(process_count);
  for_each_line(input, [&](std::string_view line, int number) { count_line(line, number, tally); });
  for (const Group& group : tally.expected.groups) {
    const int ranks = static_cast<int>(group.ranks.size());
    tally.reported += std::min(group.seen, ranks);
    if (group.seen != ranks) {
      tally.problems.add(kRankCount, [&] {
        return describe(group) + " " + std::to_string(group.seen) + " times, not " +
               std::to_string(ranks);
      });
    }
  }
  if (tally.totals != 1) {
    tally.problems.add(kTotalCount, [&] {
      return "total " + std::string(kTotal) + " on a line of its own " +
             std::to_string(tally.totals) + " times, not once";
    });
  }
  return tally;
}

// The ranks whose line never came, as ranges: "ranks 1, 4 to 6".
std::string missing_ranks(const Expected& expected) {
  std::vector<int> missing;
  std::string partly;
  for (const Group& group : expected.groups) {
    if (group.seen == 0) {
      missing.insert(missing.end(), group.ranks.begin(), group.ranks.end());
    } else if (group.seen < static_cast<int>(group.ranks.size())) {
      // Ranks that print alike can't be told apart: say how many are missing.
      partly += " and " + std::to_string(group.ranks.size() - group.seen) + " of " +
                name_ranks(group.ranks);
    }
  }
  std::sort(missing.begin(), missing.end());
  std::string text = missing.size() == 1 ? "rank" : "ranks";
  size_t ranges = 0;
  size_t next = 0;
  for (; next < missing.size() && ranges < kNamedRanges; ++ranges) {
    size_t last = next;
    while (last + 1 < missing.size() && missing[last + 1] == missing[last] + 1) {
      ++last;
    }
    text += (ranges == 0 ? " " : ", ") + std::to_string(missing[next]) +
            (last == next ? "" : " to " + std::to_string(missing[last]));
    next = last + 1;
  }
  if (next < missing.size()) {
    text += " and " + std::to_string(missing.size() - next) + " more";
  }
  return missing.empty() ? partly.substr(std::string_view(" and ").size()) : text + partly;
}

// The most specific cause the lines show, as "KEYWORD: what happened and what
// to try", or nothing. SAID_WHY: the launcher or the loader said something.
std::string cause(const Tally& tally, std::string_view input, int process_count, bool said_why) {
  const int copies = tally.totals;
  const int broken = tally.problems.count(kBrokenLine);
  if (copies > 1 && tally.whole_reports == copies && tally.reports == copies && broken == 0) {
    return "separate-jobs: every process ran as a job of its own (" + std::to_string(copies) +
           " copies of a one-process output): the launcher is not of the MPI the program was "
           "built with (in a container: the image's MPI), or srun's --mpi does not match it; " +
           kMatchingLaunchers;
  }
  const int others = tally.reports;
  if (others != process_count && others >= 1 && others <= kMaxProcesses) {
    const Tally other = count_output(input, others);
    if (other.problems.total() == other.problems.count(kOtherText)) {
      return "other-count: the output is right for " + std::to_string(others) + " processes, not " +
             std::to_string(process_count) +
             ": the job ran with another process count than the one checked; compare the "
             "launcher's -n with NP";
    }
  }
  if (broken > 0) {
    return "mixed-lines: " + std::to_string(broken) +
           " line(s) broken or fused by another process's output: the processes' writes were "
           "mixed on their way (by the launcher, or in a file that several wrote to)";
  }
  if (tally.reports == 0 && tally.totals == 0 && said_why) {
    return "no-output: no process wrote its line: the job never got through its start-up, and "
           "what was said tells why";
  }
  if (tally.reports == 0 && tally.totals == 0) {
    return "no-output: no process wrote its line: the job never got through its start-up; the "
           "launcher could not start the processes, or MPI could not connect the hosts (a "
           "firewall, the wrong network interface); try one host, then TCP between the hosts";
  }
  const bool all_reported = tally.reported == process_count;
  if (tally.totals == 0 && all_reported && !tally.wrong_total.empty()) {
    return "wrong-sum: every rank's line is right, but the total is " + tally.wrong_total +
           ": the reduction added wrongly; check the MPI library the program runs with";
  }
  if (tally.totals == 0 && all_reported) {
    return "no-reduction: every rank's line is there and the total never came: every process "
           "started and computed its share, and the reduction never finished (a process died or "
           "froze in it, the processes cannot reach one another, or the job was stopped)";
  }
  if (tally.totals == 0) {
    return "missing-ranks: " + missing_ranks(tally.expected) +
           " never reported and no total came: those ranks did not start, or died or hung "
           "before computing their share";
  }
  if (!all_reported) {
    return "lost-lines: the total came, so every process reached the reduction, yet the lines "
           "of " +
           missing_ranks(tally.expected) + " are missing: the launcher lost them";
  }
  return "";
}

// What the job wrote on its standard error, read as other text.
void count_errors(std::string_view errors, Tally& tally) {
  for_each_line(errors, [&](std::string_view line, int number) {
    keep_said(line, tally);
    tally.problems.add(
        kOtherText, [&] { return "stderr line " + std::to_string(number) + ": " + quote(line); });
  });
}

// The causes, the most specific first: what was said, then what the lines
// show, SUFFIX after it, then a launcher's error that names no cause.
std::vector<std::string> list_causes(const Tally& tally, std::string_view input, int process_count,
                                     const char* suffix) {
  const bool silent = tally.reports == 0 && tally.totals == 0;
  SaidCauses said = causes_said(tally.said, silent);
  std::vector<std::string> causes = std::move(said.specific);
  const bool said_why = !causes.empty() || !said.launcher_error.empty();
  const std::string reason = cause(tally, input, process_count, said_why);
  if (!reason.empty()) {
    causes.push_back(reason + suffix);
  }
  if (!said.launcher_error.empty()) {
    causes.push_back(said.launcher_error);
  }
  return causes;
}

}  // namespace

bool output_right(std::string_view output, int process_count) {
  return count_output(output, process_count).problems.total() == 0;
}

Judgement judge(std::string_view output, int process_count, std::string_view errors,
                const JobRun* run, int seconds) {
  Tally tally = count_output(output, process_count);
  if (run != nullptr) {
    std::string ending = run->failure;
    if (run->stopped) {
      ending = "the job did not end within " + std::to_string(seconds) + " s and was stopped";
    }
    if (!ending.empty()) {
      tally.problems.add(kJobEnd, [&] { return ending; });
    }
  }
  // Standard error counts only beside a wrong output, since MPIs warn there
  // in jobs that run right.
  if (tally.problems.total() > 0) {
    count_errors(errors, tally);
  }
  Judgement judgement;
  judgement.problems = tally.problems.listed();
  const int problems = tally.problems.total();
  judgement.right = problems == 0;
  if (!judgement.right) {
    judgement.causes =
        list_causes(tally, output, process_count,
                    run != nullptr && run->stopped ? "; the job was stopped at the deadline" : "");
  }
  std::string total = "total " + std::string(kTotal);
  if (tally.totals != 1) {
    total =
        tally.totals == 0 ? "total missing" : "total " + std::to_string(tally.totals) + " times";
  }
  judgement.summary = std::string(judgement.right ? "ok" : "FAILED") + ": " +
                      std::to_string(tally.reported) + " of " + std::to_string(process_count) +
                      " processes reported, " + total;
  if (!judgement.right) {
    judgement.summary += ", " + std::to_string(problems) + " problem(s)";
  }
  return judgement;
}

int parse_count(std::string_view text, int max) {
  int count = 0;
  const auto error = std::from_chars(text.data(), text.data() + text.size(), count).ec;
  const bool valid = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
                     error == std::errc() && count <= max;
  return valid ? count : 0;
}
