#include "sweep_report.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::array<const char*, 4> kVerdictNames = {"skip", "pass", "FAIL", "FAIL"};
constexpr std::array<const char*, 4> kColours = {"#c8c8c8", "#4caf50", "#d32f2f", "#ff9800"};
constexpr std::array<const char*, 4> kMeanings = {"not run", "pass", "fail",
                                                  "no end within the deadline"};
// Below this, control characters.
constexpr unsigned char kFirstPrintable = 0x20;
constexpr size_t kNumberSize = 32;
// The table's nodes column is at least as wide as its heading.
constexpr size_t kNodesHeading = 5;

// The picture, in pixels: cells shrink with more nodes, between these.
constexpr int kPicture = 960;
constexpr int kLargestCell = 24;
constexpr int kSmallestCell = 4;
constexpr int kGap = 10;
constexpr int kMinimumWidth = 640;
constexpr int kTextSize = 12;
constexpr int kLargestFont = 14;
constexpr int kLine = 18;
constexpr int kCharacter = 7;     // the width of a character of kTextSize, about
constexpr int kLegendSpace = 40;  // between one key of the legend and the next

const char* verdict_name(Verdict verdict) { return kVerdictNames.at(static_cast<size_t>(verdict)); }

// "12.34", or "-" for a job not run.
std::string seconds_text(const Outcome& outcome) {
  if (outcome.verdict == Verdict::kNotRun) {
    return "-";
  }
  std::array<char, kNumberSize> text{};
  std::snprintf(text.data(), text.size(), "%.2f", outcome.seconds);
  return text.data();
}

std::string pair_name(const Sweep& sweep, const Pair& pair) {
  return sweep.names[pair.first] + "," + sweep.names[pair.second];
}

std::string whole_name(const Sweep& sweep) {
  return "all " + std::to_string(sweep.names.size()) + " nodes";
}

struct Row {
  std::string kind;
  std::string nodes;
  const Outcome* outcome;
};

// Every job, in the order run: nodes, pairs, the whole job.
std::vector<Row> rows(const Sweep& sweep) {
  std::vector<Row> all;
  size_t pairs = 0;
  for (const Wave& wave : sweep.waves) {
    pairs += wave.size();
  }
  all.reserve(sweep.names.size() + pairs + 1);
  for (size_t node = 0; node < sweep.names.size(); ++node) {
    all.push_back({"alone", sweep.names[node], &sweep.matrix.alone(static_cast<int>(node))});
  }
  for (const Wave& wave : sweep.waves) {
    for (const Pair& pair : wave) {
      all.push_back({"pair", pair_name(sweep, pair), &sweep.matrix.pair(pair.first, pair.second)});
    }
  }
  all.push_back({"whole", whole_name(sweep), &sweep.matrix.whole()});
  return all;
}

struct Columns {
  std::string kind;
  std::string nodes;
  std::string verdict;
  std::string seconds;
  std::string cause;
};

std::string row_line(const Columns& row, int width) {
  const int length = std::snprintf(nullptr, 0, "%-5s  %-*s  %-7s  %7s", row.kind.c_str(), width,
                                   row.nodes.c_str(), row.verdict.c_str(), row.seconds.c_str());
  std::string line(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(line.data(), line.size(), "%-5s  %-*s  %-7s  %7s", row.kind.c_str(), width,
                row.nodes.c_str(), row.verdict.c_str(), row.seconds.c_str());
  line.pop_back();
  return line + (row.cause.empty() ? "" : "  " + row.cause) + "\n";
}

}  // namespace

std::string xml(std::string_view text) {
  std::string escaped;
  for (const char character : text) {
    const auto code = static_cast<unsigned char>(character);
    switch (character) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        if (code >= kFirstPrintable || character == '\t' || character == '\n' ||
            character == '\r') {
          escaped += character;
        }
    }
  }
  return escaped;
}

std::string table(const Sweep& sweep) {
  const std::vector<Row> all = rows(sweep);
  size_t width = kNodesHeading;
  int pairs = 0;
  int passed = 0;
  for (const Row& row : all) {
    const bool plain_pass = row.outcome->verdict == Verdict::kPass && row.outcome->cause.empty();
    if (row.kind == "pair") {
      ++pairs;
      passed += row.outcome->verdict == Verdict::kPass ? 1 : 0;
    }
    if (row.kind != "pair" || !plain_pass) {
      width = std::max(width, row.nodes.size());
    }
  }
  const int columns = static_cast<int>(width);
  std::string text = row_line({"job", "nodes", "verdict", "seconds", "cause"}, columns);
  for (const Row& row : all) {
    const Outcome& outcome = *row.outcome;
    if (row.kind == "pair" && outcome.verdict == Verdict::kPass && outcome.cause.empty()) {
      continue;
    }
    if (row.kind == "whole" && pairs > 0) {
      text += "pairs  " + std::to_string(passed) + " of " + std::to_string(pairs) + " passed, in " +
              std::to_string(sweep.waves.size()) + " wave(s)\n";
    }
    text += row_line(
        {row.kind, row.nodes, verdict_name(outcome.verdict), seconds_text(outcome), outcome.cause},
        columns);
  }
  return text;
}

std::string junit(const Sweep& sweep) {
  const std::vector<Row> all = rows(sweep);
  int failures = 0;
  int skipped = 0;
  for (const Row& row : all) {
    failures += failed(row.outcome->verdict) ? 1 : 0;
    skipped += row.outcome->verdict == Verdict::kNotRun ? 1 : 0;
  }
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  text += "<testsuite name=\"trapezoid-sweep\" tests=\"" + std::to_string(all.size()) +
          "\" failures=\"" + std::to_string(failures) + "\" skipped=\"" + std::to_string(skipped) +
          "\">\n";
  for (const Row& row : all) {
    const Outcome& outcome = *row.outcome;
    const std::string seconds = seconds_text(outcome);
    text += "  <testcase classname=\"trapezoid-sweep." + row.kind + "\" name=\"" + xml(row.nodes) +
            "\" time=\"" + (seconds == "-" ? "0" : seconds) + "\">";
    if (failed(outcome.verdict)) {
      text +=
          "<failure message=\"" + xml(outcome.cause) + "\">" + xml(outcome.evidence) + "</failure>";
    } else if (outcome.verdict == Verdict::kNotRun) {
      text += "<skipped message=\"" + xml(outcome.cause) + "\"/>";
    }
    text += "</testcase>\n";
  }
  return text + "</testsuite>\n";
}

namespace {

// The legend and the suspects under the matrix, from TOP down.
std::string legend(const Sweep& sweep, int top) {
  std::string text;
  int left = kGap;
  for (size_t verdict = 0; verdict < kColours.size(); ++verdict) {
    const std::string_view meaning = kMeanings.at(verdict);
    text += "<rect x=\"" + std::to_string(left) + "\" y=\"" + std::to_string(top) + "\" width=\"" +
            std::to_string(kTextSize) + "\" height=\"" + std::to_string(kTextSize) + "\" fill=\"" +
            kColours.at(verdict) + "\"/><text x=\"" +
            std::to_string(left + kTextSize + (kGap / 2)) + "\" y=\"" +
            std::to_string(top + kTextSize - 1) + "\" font-size=\"" + std::to_string(kTextSize) +
            "\">" + std::string(meaning) + "</text>\n";
    left += kLegendSpace + (static_cast<int>(meaning.size()) * kCharacter);
  }
  int baseline = top + kLine + kTextSize;
  const std::vector<std::string> none = {"no suspect: every job passed"};
  for (const std::string& line : sweep.suspects.empty() ? none : sweep.suspects) {
    text += "<text x=\"" + std::to_string(kGap) + "\" y=\"" + std::to_string(baseline) +
            "\" font-size=\"" + std::to_string(kTextSize) + "\">" + xml(line) + "</text>\n";
    baseline += kLine;
  }
  return text;
}

}  // namespace

std::string svg(const Sweep& sweep) {
  const int count = static_cast<int>(sweep.names.size());
  const int cell = std::clamp(kPicture / std::max(count, 1), kSmallestCell, kLargestCell);
  size_t longest = 1;
  for (const std::string& name : sweep.names) {
    longest = std::max(longest, name.size());
  }
  const int font = std::clamp(cell - 2, 3, kLargestFont);
  // Room for the longest name, its characters about 0.6 of the font wide.
  const int margin = (static_cast<int>(longest) * font * 3 / 5) + kGap;
  const int side = margin + (count * cell);
  const int legend_top = side + kGap;
  const int height = legend_top + (kLine * (2 + static_cast<int>(sweep.suspects.size())));
  size_t widest = 0;
  for (const std::string& line : sweep.suspects) {
    widest = std::max(widest, line.size());
  }
  const int width =
      std::max({side + kGap, kMinimumWidth, (2 * kGap) + (static_cast<int>(widest) * kCharacter)});
  std::string text = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                     "\" height=\"" + std::to_string(height) +
                     "\" font-family=\"sans-serif\">\n<rect width=\"100%\" height=\"100%\" "
                     "fill=\"white\"/>\n";
  auto square = [&](int row, int column, const Outcome& outcome) {
    text +=
        "<rect x=\"" + std::to_string(margin + (column * cell)) + "\" y=\"" +
        std::to_string(margin + (row * cell)) + "\" width=\"" + std::to_string(cell) +
        "\" height=\"" + std::to_string(cell) + "\" fill=\"" +
        kColours.at(static_cast<size_t>(outcome.verdict)) + "\" stroke=\"white\"><title>" +
        xml(sweep.names[row] + (row == column ? "" : "," + sweep.names[column]) + ": " +
            verdict_name(outcome.verdict) + (outcome.cause.empty() ? "" : ": " + outcome.cause)) +
        "</title></rect>\n";
  };
  const int label_end = margin - (kGap / 2);
  for (int row = 0; row < count; ++row) {
    const std::string name = xml(sweep.names[row]);
    const int middle = margin + (row * cell) + (cell / 2);
    text += "<text x=\"" + std::to_string(label_end) + "\" y=\"" + std::to_string(middle) +
            "\" font-size=\"" + std::to_string(font) +
            "\" text-anchor=\"end\" dominant-baseline=\"middle\">" + name + "</text>\n";
    text += "<text transform=\"translate(" + std::to_string(middle) + "," +
            std::to_string(label_end) + ") rotate(-90)\" font-size=\"" + std::to_string(font) +
            "\" dominant-baseline=\"middle\">" + name + "</text>\n";
    for (int column = 0; column < count; ++column) {
      square(row, column, row == column ? sweep.matrix.alone(row) : sweep.matrix.pair(row, column));
    }
  }
  return text + legend(sweep, legend_top) + "</svg>\n";
}
