#include "sweep_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr std::array<const char*, 4> kVerdictNames = {"skip", "pass", "FAIL", "FAIL"};
// Below this, control characters.
constexpr unsigned char kFirstPrintable = 0x20;
constexpr size_t kNumberSize = 32;
// The table's nodes column is at least as wide as its heading.
constexpr size_t kNodesHeading = 5;

const char* verdict_name(Verdict verdict) { return kVerdictNames.at(static_cast<size_t>(verdict)); }

// Appends TEXT to OUT as xml() gives it.
void append_xml(std::string& out, std::string_view text) {
  for (const char character : text) {
    const auto code = static_cast<unsigned char>(character);
    switch (character) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (code >= kFirstPrintable || character == '\t' || character == '\n' ||
            character == '\r') {
          out += character;
        }
    }
  }
}

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
  append_xml(escaped, text);
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

// The picture, in pixels: cells shrink with more nodes, between these.
constexpr int kPicture = 960;
constexpr int kLargestCell = 24;
constexpr int kSmallestCell = 4;
constexpr int kGridFrom = 8;       // cells this large keep a white line between them
constexpr int kSmallestMark = 10;  // a mark on a smaller cell spills over, to be seen
constexpr int kGap = 10;
constexpr int kMinimumWidth = 800;
constexpr int kTextSize = 12;
constexpr int kLargestFont = 14;
constexpr int kSmallestFont = 9;  // below it, names are left out rather than shrunk
constexpr int kLine = 18;
constexpr int kCharacter = 7;         // the width of a character of kTextSize, about
constexpr int kLegendSpace = 24;      // between one key of the legend and the next
constexpr int kScaleLeft = 3 * kGap;  // room for the first label, centred under the scale's end
constexpr int kScaleWidth = 240;
constexpr int kScaleParts = 4;  // labels at 1, 1.4, 2, 2.8 and 4 times the median
constexpr int kLegendRows = 5;  // heading, scale, its labels, marks, whole job
constexpr int kMarkLine = 6;    // a mark's lines are this fraction of its side
constexpr int kHatch = 4;
constexpr size_t kCellText = 200;  // what a cell takes but its names, about
constexpr size_t kShades = 256;

// ColorBrewer's Blues, pale to dark: one hue, read in order with any colour vision.
constexpr std::array<std::array<int, 3>, 9> kHeat = {{{0xf7, 0xfb, 0xff},
                                                      {0xde, 0xeb, 0xf7},
                                                      {0xc6, 0xdb, 0xef},
                                                      {0x9e, 0xca, 0xe1},
                                                      {0x6b, 0xae, 0xd6},
                                                      {0x42, 0x92, 0xc6},
                                                      {0x21, 0x71, 0xb5},
                                                      {0x08, 0x51, 0x9c},
                                                      {0x08, 0x30, 0x6b}}};
constexpr double kDarkest = 4.0;  // times the median: this and slower are the darkest
// Okabe and Ito's vermilion: far from every blue, with any colour vision.
constexpr std::string_view kFailColour = "#d55e00";
constexpr std::string_view kTimes = "\xc3\x97";  // the multiplication sign, in UTF-8

struct Fixed {
  double value;
  int places;
};

// The picture's text, appended in place.
class Text {
 public:
  explicit Text(size_t size) { text_.reserve(size); }
  Text& operator<<(std::string_view part) {
    text_ += part;
    return *this;
  }
  Text& operator<<(int number) {
    std::array<char, kNumberSize> digits{};
    const std::to_chars_result end =
        std::to_chars(digits.data(), digits.data() + digits.size(), number);
    text_.append(digits.data(), end.ptr);
    return *this;
  }
  Text& operator<<(Fixed number) {
    std::array<char, kNumberSize> digits{};
    const std::to_chars_result end =
        std::to_chars(digits.data(), digits.data() + digits.size(), number.value,
                      std::chars_format::fixed, number.places);
    if (end.ec == std::errc()) {
      text_.append(digits.data(), end.ptr);
    } else {
      text_ += "?";  // too large to be a time
    }
    return *this;
  }
  Text& operator<<(char) = delete;  // would print as a number
  Text& escaped(std::string_view part) {
    append_xml(text_, part);
    return *this;
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

// The colour of a time, from 0 at the median or faster to 1 at kDarkest
// times it, on a log scale.
class Palette {
 public:
  Palette() {
    shades_.reserve(kShades);
    for (size_t shade = 0; shade < kShades; ++shade) {
      shades_.push_back(mix(static_cast<double>(shade) / static_cast<double>(kShades - 1)));
    }
  }
  static double heat(double seconds, double median) {
    if (median <= 0.0 || seconds <= median) {
      return 0.0;
    }
    return std::min(std::log2(seconds / median) / std::log2(kDarkest), 1.0);
  }
  const std::string& operator()(double heat) const {
    if (!(heat > 0.0)) {  // NaN too
      return shades_.front();
    }
    const double shade = std::min(heat, 1.0) * static_cast<double>(kShades - 1);
    return shades_.at(static_cast<size_t>(std::lround(shade)));
  }

  // The colour at HEAT itself, not its shade's.
  static std::string mix(double heat) {
    const double scaled = heat * static_cast<double>(kHeat.size() - 1);
    const size_t low = std::min(static_cast<size_t>(scaled), kHeat.size() - 2);
    const double part = scaled - static_cast<double>(low);
    std::array<long, 3> mixed{};
    for (size_t primary = 0; primary < mixed.size(); ++primary) {
      const double from = kHeat.at(low).at(primary);
      mixed.at(primary) = std::lround(from + (part * (kHeat.at(low + 1).at(primary) - from)));
    }
    std::array<char, kNumberSize> text{};
    std::snprintf(text.data(), text.size(), "#%02lx%02lx%02lx", mixed[0], mixed[1], mixed[2]);
    return text.data();
  }

 private:
  std::vector<std::string> shades_;
};

struct Median {
  double seconds = 0.0;  // 0 when no job passed
  int of = 0;            // the jobs that passed
};

// The median time of the nodes by themselves and the pairs that passed.
Median passed_median(const Matrix& matrix) {
  std::vector<double> times;
  for (int row = 0; row < matrix.count(); ++row) {
    for (int column = row; column < matrix.count(); ++column) {
      const Outcome& job = row == column ? matrix.alone(row) : matrix.pair(row, column);
      if (job.verdict == Verdict::kPass) {
        times.push_back(job.seconds);
      }
    }
  }
  if (times.empty()) {
    return {};
  }
  const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), middle, times.end());
  const double upper = *middle;
  return {times.size() % 2 == 1 ? upper : (*std::max_element(times.begin(), middle) + upper) / 2,
          static_cast<int>(times.size())};
}

enum class Mark : std::uint8_t { kNone, kFlaky, kFail, kNoEnd, kNotRun };

constexpr std::array<std::string_view, 5> kMarkMeanings = {
    "pass", "passed, failed a run first", "FAIL", "no end within the deadline", "not run"};

Mark mark(const Outcome& job) {
  switch (job.verdict) {
    case Verdict::kPass:
      return failed_runs(job) > 0 ? Mark::kFlaky : Mark::kNone;
    case Verdict::kFail:
      return Mark::kFail;
    case Verdict::kNoEnd:
      return Mark::kNoEnd;
    case Verdict::kNotRun:
      break;
  }
  return Mark::kNotRun;
}

struct Square {
  int left;
  int top;
  int side;
};

// MARK over SQUARE: a corner for a flaky job, a cross for a failed one,
// boxed when it never ended.
void draw(Text& out, Mark mark, Square square) {
  const auto [left, top, side] = square;
  const int line = std::max(1, side / kMarkLine);
  int inset = line / 2;
  if (mark == Mark::kFlaky) {
    const int leg = (side + 1) / 2;
    out << "<path d=\"M" << left + side - leg << " " << top << "h" << leg << "v" << leg
        << "z\" fill=\"" << kFailColour << "\"/>";
  }
  if (mark == Mark::kNoEnd) {
    const int half = (line + 1) / 2;
    out << "<rect x=\"" << left + half << "\" y=\"" << top + half << "\" width=\""
        << side - (2 * half) << "\" height=\"" << side - (2 * half) << "\" fill=\"none\" stroke=\""
        << kFailColour << "\" stroke-width=\"" << line << "\"/>";
    inset = 2 * line;
  }
  if ((mark == Mark::kFail || mark == Mark::kNoEnd) && side > 2 * inset) {
    const int length = side - (2 * inset);
    out << "<path d=\"M" << left + inset << " " << top + inset << "l" << length << " " << length
        << "m0 -" << length << "l-" << length << " " << length << "\" stroke=\"" << kFailColour
        << "\" stroke-width=\"" << line << "\"/>";
  }
}

struct Picture {
  const Sweep& sweep;
  Median median;
  Palette palette;
  int margin;
  int pitch;       // from one cell to the next
  int side;        // of a cell's square
  size_t columns;  // of the findings' lines, the later ones of each indented
};

// The cell of ROW and COLUMN: its square coloured by time, its tooltip and
// its mark. Into OUT, or into MARKED when it has a mark, drawn after the
// others so that no square covers a mark that spills over it.
void cell(Text& out, Text& marked, const Picture& picture, Pair place) {
  const int row = place.first;
  const int column = place.second;
  const Sweep& sweep = picture.sweep;
  const Outcome& job = row == column ? sweep.matrix.alone(row) : sweep.matrix.pair(row, column);
  const Mark shown = mark(job);
  const bool has_mark = shown != Mark::kNone && shown != Mark::kNotRun;
  Text& into = has_mark ? marked : out;
  const Square square{picture.margin + (column * picture.pitch),
                      picture.margin + (row * picture.pitch), picture.side};
  const auto title = [&] {
    into << "<title>" << (row == column ? "alone " : "pair ");
    into.escaped(sweep.names[row]);
    if (row != column) {
      into << ",";
      into.escaped(sweep.names[column]);
    }
    into << ": " << kMarkMeanings.at(static_cast<size_t>(shown));
    if (job.verdict != Verdict::kNotRun) {
      into << ", " << Fixed{job.seconds, 2} << " s";
      if (picture.median.seconds > 0.0) {
        into << " (" << Fixed{job.seconds / picture.median.seconds, 1} << kTimes << " the median)";
      }
    }
    into << ", " << static_cast<int>(job.runs.size()) << " run(s)";
    if (shown == Mark::kFlaky) {
      into << ", " << failed_runs(job) << " failed";
    }
    if (!job.cause.empty()) {
      into << ": ";
      into.escaped(job.cause);
    }
    into << "</title>";
  };
  // A group's title is its first child.
  if (has_mark) {
    into << "<g>";
    title();
  }
  into << "<rect x=\"" << square.left << "\" y=\"" << square.top << "\" width=\"" << square.side
       << "\" height=\"" << square.side << "\" fill=\""
       << (shown == Mark::kNotRun
               ? "url(#untried)"
               : picture.palette(Palette::heat(job.seconds, picture.median.seconds)))
       << (has_mark ? "\"/>" : "\">");
  if (!has_mark) {
    title();
    into << "</rect>\n";
    return;
  }
  const int mark_side = std::max(square.side, kSmallestMark);
  const int spill = (mark_side - square.side) / 2;
  draw(into, shown, {square.left - spill, square.top - spill, mark_side});
  into << "</g>\n";
}

// The findings, or a line that there are none.
std::vector<std::string_view> finding_lines(const Sweep& sweep) {
  if (sweep.suspects.empty()) {
    return {"no finding: no node or link suspect, slow or flaky"};
  }
  return {sweep.suspects.begin(), sweep.suspects.end()};
}

// LINE in pieces of at most COLUMNS bytes, each broken after a blank where
// there is one, never inside a UTF-8 character.
std::vector<std::string_view> wrap(std::string_view line, size_t columns) {
  constexpr unsigned char kFollowing = 0xc0;  // the top bits of a UTF-8 character's later bytes
  constexpr unsigned char kLater = 0x80;
  std::vector<std::string_view> pieces;
  while (line.size() > columns) {
    size_t cut = line.rfind(' ', columns - 1);
    cut = cut == std::string_view::npos || cut == 0 ? columns : cut + 1;
    while (cut > 1 && (static_cast<unsigned char>(line[cut]) & kFollowing) == kLater) {
      --cut;
    }
    pieces.push_back(line.substr(0, cut));
    line.remove_prefix(cut);
  }
  pieces.push_back(line);
  return pieces;
}

// The legend under the matrix, from TOP down: the scale, the marks, the
// whole job and the findings.
void legend(Text& out, const Picture& picture, int top) {
  const Sweep& sweep = picture.sweep;
  out << "<g font-size=\"" << kTextSize << "\"><text x=\"" << kGap << "\" y=\"" << top + kTextSize
      << "\">";
  if (picture.median.seconds > 0.0) {
    out << "colour: a job's time against the median of the " << picture.median.of
        << " jobs that passed, " << Fixed{picture.median.seconds, 2} << " s (log scale)";
  } else {
    out << "no job passed: no median to colour the times by";
  }
  out << "</text>\n<rect x=\"" << kScaleLeft << "\" y=\"" << top + kLine << "\" width=\""
      << kScaleWidth << "\" height=\"" << kTextSize << "\" fill=\"url(#heat)\" stroke=\"#999\"/>\n";
  for (int part = 0; part <= kScaleParts; ++part) {
    const double times = std::pow(kDarkest, static_cast<double>(part) / kScaleParts);
    out << "<text x=\"" << kScaleLeft + (part * kScaleWidth / kScaleParts) << "\" y=\""
        << top + (2 * kLine) + kTextSize << "\" text-anchor=\"middle\">"
        << (part == 0 ? "\xe2\x89\xa4" : "") << (part == kScaleParts ? "\xe2\x89\xa5" : "")
        << Fixed{times, part % 2 == 0 ? 0 : 1} << kTimes << "</text>\n";
  }
  int left = kGap;
  const int marks_top = top + (3 * kLine) + ((kLine - kTextSize) / 2);
  for (const Mark key : {Mark::kFlaky, Mark::kFail, Mark::kNoEnd, Mark::kNotRun}) {
    const std::string_view meaning = kMarkMeanings.at(static_cast<size_t>(key));
    out << "<rect x=\"" << left << "\" y=\"" << marks_top << "\" width=\"" << kTextSize
        << "\" height=\"" << kTextSize << "\" fill=\""
        << (key == Mark::kNotRun ? "url(#untried)" : picture.palette(0.0))
        << "\" stroke=\"#999\"/>";
    draw(out, key, {left, marks_top, kTextSize});
    out << "<text x=\"" << left + kTextSize + (kGap / 2) << "\" y=\"" << marks_top + kTextSize - 1
        << "\">" << meaning << "</text>\n";
    left += kLegendSpace + kTextSize + (static_cast<int>(meaning.size()) * kCharacter);
  }
  const Outcome& whole = sweep.matrix.whole();
  int baseline = top + (4 * kLine) + kTextSize + (kLine / 2);
  out << "<text x=\"" << kGap << "\" y=\"" << baseline << "\">whole job, all "
      << static_cast<int>(sweep.names.size())
      << " nodes: " << kMarkMeanings.at(static_cast<size_t>(mark(whole)));
  if (whole.verdict != Verdict::kNotRun) {
    out << ", " << Fixed{whole.seconds, 2} << " s";
  }
  out << "</text>\n";
  for (const std::string_view line : finding_lines(sweep)) {
    const std::vector<std::string_view> pieces = wrap(line, picture.columns);
    for (size_t piece = 0; piece < pieces.size(); ++piece) {
      baseline += kLine;
      if (piece > 0) {
        out << "<tspan x=\"" << 2 * kGap << "\" y=\"" << baseline << "\">";
      } else {
        out << "<text x=\"" << kGap << "\" y=\"" << baseline << "\">";
      }
      out.escaped(pieces[piece]);
      out << (piece > 0 ? "</tspan>" : "");
    }
    out << "</text>\n";
  }
  out << "</g>\n";
}

// The hatching of jobs not run and the scale's gradient.
void definitions(Text& out) {
  out << "<defs><pattern id=\"untried\" width=\"" << kHatch << "\" height=\"" << kHatch
      << "\" patternUnits=\"userSpaceOnUse\"><rect width=\"" << kHatch << "\" height=\"" << kHatch
      << "\" fill=\"#eee\"/><path d=\"M-1 1l2 -2M0 " << kHatch << "l" << kHatch << " -" << kHatch
      << "M" << kHatch - 1 << " " << kHatch + 1 << "l2 -2\" stroke=\"#888\"/></pattern>"
      << "<linearGradient id=\"heat\">";
  for (size_t stop = 0; stop < kHeat.size(); ++stop) {
    const double where = static_cast<double>(stop) / static_cast<double>(kHeat.size() - 1);
    out << "<stop offset=\"" << Fixed{where, 3} << "\" stop-color=\"" << Palette::mix(where)
        << "\"/>";
  }
  out << "</linearGradient></defs>\n";
}

// Which names the axes show, and how large.
struct Labels {
  int step = 1;  // every STEP-th, so that names never overlap
  int font = kSmallestFont;
};

Labels labels(int pitch) {
  Labels chosen;
  while (chosen.step * pitch < kSmallestFont + 2) {
    chosen.step *= 2;
  }
  chosen.font = std::clamp((chosen.step * pitch) - 2, kSmallestFont, kLargestFont);
  return chosen;
}

// The nodes' names on both axes.
void names(Text& out, const Picture& picture, Labels shown) {
  const auto [step, font] = shown;
  const int label_end = picture.margin - (kGap / 2);
  const auto count = static_cast<int>(picture.sweep.names.size());
  out << "<g font-size=\"" << font << "\" dominant-baseline=\"middle\">\n";
  for (int row = 0; row < count; row += step) {
    const int middle = picture.margin + (row * picture.pitch) + (picture.side / 2);
    out << "<text x=\"" << label_end << "\" y=\"" << middle << "\" text-anchor=\"end\">";
    out.escaped(picture.sweep.names[row]);
    out << "</text><text transform=\"translate(" << middle << "," << label_end
        << ") rotate(-90)\">";
    out.escaped(picture.sweep.names[row]);
    out << "</text>\n";
  }
  out << "</g>\n";
}

}  // namespace

std::string svg(const Sweep& sweep) {
  const int count = static_cast<int>(sweep.names.size());
  const int pitch = std::clamp(kPicture / std::max(count, 1), kSmallestCell, kLargestCell);
  const Labels shown = labels(pitch);
  size_t longest = 1;
  for (const std::string& name : sweep.names) {
    longest = std::max(longest, name.size());
  }
  // Room for the longest name, its characters about 0.6 of the font wide.
  const int margin = (static_cast<int>(longest) * shown.font * 3 / 5) + kGap;
  const int bottom = margin + (count * pitch);
  const int width = std::max(bottom + kGap, kMinimumWidth);
  const Picture picture{sweep,
                        passed_median(sweep.matrix),
                        Palette(),
                        margin,
                        pitch,
                        pitch >= kGridFrom ? pitch - 1 : pitch,
                        static_cast<size_t>((width - (3 * kGap)) / kCharacter)};
  int lines = 0;
  size_t size = 0;
  for (const std::string_view line : finding_lines(sweep)) {
    lines += static_cast<int>(wrap(line, picture.columns).size());
    size += line.size() + kCellText;
  }
  const int height = bottom + kGap + (kLine * (kLegendRows + lines)) + kGap;
  Text out(size +
           (static_cast<size_t>(count) * static_cast<size_t>(count) * (kCellText + (2 * longest))));
  Text marked(kCellText);
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" font-family=\"sans-serif\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  definitions(out);
  names(out, picture, shown);
  for (int row = 0; row < count; ++row) {
    for (int column = 0; column < count; ++column) {
      cell(out, marked, picture, {row, column});
    }
  }
  out << marked.take();
  legend(out, picture, bottom + kGap);
  out << "</svg>\n";
  return out.take();
}
