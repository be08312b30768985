// trapezoid-check NP [FILE]: checks the output of an NP-process trapezoid job,
// whatever launcher wrote it and in whatever order its lines came.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kTrapezoids = 100000;
constexpr int kMaxProcesses = 1000000;
constexpr std::string_view kTotal = "0.333333";
constexpr std::string_view kSuffix = " I'm here";
constexpr const char* kUsage = "usage: trapezoid-check NP [FILE]";
constexpr const char* kHelp =
    "Checks the output of a trapezoid job of NP processes (1 to 1000000), read from FILE\n"
    "or, without FILE or with -, from standard input. Exit status 0: right, 1: wrong,\n"
    "2: bad arguments.";

// Each expected sum is exact but for one rounding; the program's, over up to
// 100000 additions, is off by a few units in the last place. A sum this close
// to the boundary between two six-digit texts may print as either: with 1000
// processes rank 3's is 1.233335e-08 exactly.
constexpr double kTolerance = 1e-10;

// The ranks that print one text, or near a boundary one of two. Ranks whose
// sums print alike share a group: all those past the last trapezoid print 0,
// and a rank of two trapezoids may print what one of one trapezoid does.
struct Group {
  std::vector<std::string> texts;
  std::vector<int> ranks;
  int seen = 0;
};

struct Expected {
  std::vector<Group> groups;
  std::unordered_map<std::string, size_t> group_of_text;
};

std::string describe(const Group& group) {
  const std::vector<int>& ranks = group.ranks;
  std::string text = ranks.size() == 1 ? "rank " : "ranks ";
  if (ranks.size() > 2 && static_cast<size_t>(ranks.back() - ranks.front()) == ranks.size() - 1) {
    text += std::to_string(ranks.front()) + " to " + std::to_string(ranks.back());
  } else {
    for (size_t i = 0; i < ranks.size(); ++i) {
      text += (i == 0 ? "" : ", ") + std::to_string(ranks[i]);
    }
  }
  for (size_t i = 0; i < group.texts.size(); ++i) {
    text += (i == 0 ? ": '" : " or '") + group.texts[i] + std::string(kSuffix) + "'";
  }
  return text;
}

// Over trapezoids k = first to end - 1 of width h, the sum of h (x_k^2 + x_(k+1)^2) / 2
// is h^3 (2 (end^3 - first^3) + end - first) / 6: exact in 64-bit integers, then
// rounded once, and printed with the stream defaults the program prints with.
Expected expected_reports(int process_count) {
  const double trapezoids = kTrapezoids;
  const double denominator = 6.0 * trapezoids * trapezoids * trapezoids;
  const int common = kTrapezoids / process_count;
  const int remainder = kTrapezoids % process_count;
  std::ostringstream stream;
  const auto print = [&stream](double value) {
    stream.str("");
    stream << value;
    return stream.str();
  };
  Expected expected;
  auto& index = expected.group_of_text;
  for (int rank = 0; rank < process_count; ++rank) {
    const std::int64_t first = (rank * common) + std::min(rank, remainder);
    const std::int64_t end = first + (rank < remainder ? common + 1 : common);
    const std::int64_t sixfold = (2 * ((end * end * end) - (first * first * first))) + end - first;
    const double sum = static_cast<double>(sixfold) / denominator;
    const std::array<std::string, 2> texts = {print(sum * (1.0 - kTolerance)),
                                              print(sum * (1.0 + kTolerance))};
    auto found = index.find(texts[0]);
    if (found == index.end()) {
      found = index.find(texts[1]);
    }
    const size_t group = found == index.end() ? expected.groups.size() : found->second;
    if (group == expected.groups.size()) {
      expected.groups.emplace_back();
    }
    expected.groups[group].ranks.push_back(rank);
    for (const std::string& text : texts) {
      if (index.emplace(text, group).second) {
        expected.groups[group].texts.push_back(text);
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

// Counts one line of output; returns what is wrong with it, or nothing.
std::string count_line(std::string_view line, Expected& expected, int& totals) {
  if (line == kTotal) {
    ++totals;
    return "";
  }
  const bool is_report =
      line.size() > kSuffix.size() && line.substr(line.size() - kSuffix.size()) == kSuffix;
  const std::string value(line.substr(0, is_report ? line.size() - kSuffix.size() : 0));
  if (is_report && is_number(value)) {
    const auto found = expected.group_of_text.find(value);
    if (found == expected.group_of_text.end()) {
      return "value " + value + " is no rank's";
    }
    ++expected.groups[found->second].seen;
    return "";
  }
  // A line another process's output broke into, or that ran into another:
  // a rank's value alone, or text with the report's words in it.
  const bool is_value = expected.group_of_text.count(std::string(line)) != 0;
  if (is_value || line.find(kSuffix.substr(1)) != std::string_view::npos) {
    return "broken or fused line '" + std::string(line) + "'";
  }
  if (is_number(line)) {
    return "total " + std::string(line) + ", not " + std::string(kTotal);
  }
  return "other text '" + std::string(line) + "'";
}

// Reads all of FILE, or standard input for "-"; false when it cannot be read.
bool read_input(const std::string& path, std::string& text) {
  std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  constexpr size_t kBufferSize = 65536;
  std::array<char, kBufferSize> buffer{};
  size_t length = 0;
  while ((length = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    text.append(buffer.data(), length);
  }
  const bool read_whole = std::ferror(file) == 0;
  const int read_errno = errno;
  if (file != stdin) {
    std::fclose(file);
  }
  errno = read_errno;
  return read_whole;
}

// Digits only, since from_chars would take a sign; 0 when it is no process count.
int parse_process_count(const std::string& text) {
  int count = 0;
  const auto error = std::from_chars(text.data(), text.data() + text.size(), count).ec;
  const bool valid = text.find_first_not_of("0123456789") == std::string::npos &&
                     error == std::errc() && count <= kMaxProcesses;
  return valid ? count : 0;
}

// Reports each problem on stderr and a summary on stdout; returns the exit status.
int check(std::string_view input, int process_count) {
  Expected expected = expected_reports(process_count);
  int problems = 0;
  const auto problem = [&problems](const std::string& text) {
    std::cerr << text << '\n';
    ++problems;
  };
  int totals = 0;
  std::string_view rest = input;
  for (int line_number = 1; !rest.empty(); ++line_number) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const std::string wrong = count_line(line, expected, totals);
    if (!wrong.empty()) {
      problem("line " + std::to_string(line_number) + ": " + wrong);
    }
  }

  int reported = 0;
  for (const Group& group : expected.groups) {
    const int ranks = static_cast<int>(group.ranks.size());
    reported += std::min(group.seen, ranks);
    if (group.seen != ranks) {
      problem(describe(group) + " " + std::to_string(group.seen) + " times, not " +
              std::to_string(ranks));
    }
  }
  std::string total = "total " + std::string(kTotal);
  if (totals != 1) {
    problem(total + " on a line of its own " + std::to_string(totals) + " times, not once");
    total = totals == 0 ? "total missing" : "total " + std::to_string(totals) + " times";
  }
  std::cout << (problems == 0 ? "ok: " : "FAILED: ") << reported << " of " << process_count
            << " processes reported, " << total
            << (problems == 0 ? "" : ", " + std::to_string(problems) + " problem(s)") << '\n';
  return problems == 0 ? 0 : 1;
}

int usage_error(const std::string& problem) {
  std::cerr << "trapezoid-check: " << problem << '\n' << kUsage << '\n';
  return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    std::cout << kUsage << '\n' << kHelp << '\n';
    return 0;
  }
  if (args.empty() || args.size() > 2) {
    return usage_error(args.empty() ? "no process count" : "too many arguments");
  }
  const int process_count = parse_process_count(args[0]);
  if (process_count == 0) {
    return usage_error("NP must be a whole number from 1 to 1000000, not '" + args[0] + "'");
  }
  const std::string path = args.size() == 2 ? args[1] : "-";
  std::string input;
  if (!read_input(path, input)) {
    return usage_error("cannot read " + path + ": " + std::strerror(errno));
  }
  return check(input, process_count);
}
