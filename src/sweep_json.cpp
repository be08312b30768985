#include "sweep_json.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Apart from the table's words, a hang is told from a failure.
constexpr std::array<const char*, 4> kVerdicts = {"not-run", "pass", "fail", "no-end"};
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kHighBit = 0x80;
constexpr unsigned char kTag = 0xc0;      // of a continuation byte, which holds kHighBit
constexpr unsigned char kPayload = 0x3f;  // the rest of it
constexpr int kPayloadBits = 6;
constexpr size_t kLongest = 4;  // bytes of a UTF-8 sequence
// The least code point each length may carry: shorter is overlong.
constexpr std::array<std::uint32_t, kLongest + 1> kLeast = {0, 0, 0x80, 0x800, 0x10000};
constexpr std::uint32_t kLastCode = 0x10ffff;
constexpr std::uint32_t kFirstSurrogate = 0xd800;
constexpr std::uint32_t kLastSurrogate = 0xdfff;
constexpr size_t kNumberSize = 32;

// The length of the valid UTF-8 sequence at the start of TEXT, or 0.
size_t sequence(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = 0;
  while (length <= kLongest && (lead & (kHighBit >> length)) != 0) {
    ++length;
  }
  if (length < 2 || length > kLongest || length > text.size()) {
    return 0;
  }
  std::uint32_t code = lead & (kPayload >> (length - 1));
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & kTag) != kHighBit) {
      return 0;
    }
    code = (code << kPayloadBits) | (next & kPayload);
  }
  const bool surrogate = code >= kFirstSurrogate && code <= kLastSurrogate;
  return code < kLeast.at(length) || code > kLastCode || surrogate ? 0 : length;
}

// JSON has no NaN nor infinity.
std::string number(double value) {
  if (!std::isfinite(value)) {
    return "null";
  }
  std::array<char, kNumberSize> text{};
  std::snprintf(text.data(), text.size(), "%.3f", value);
  return text.data();
}

// "[]", or ITEMS one a line, indented by INDENT.
std::string list(const std::vector<std::string>& items, const std::string& indent) {
  if (items.empty()) {
    return "[]";
  }
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    text += (i == 0 ? "\n" : ",\n") + indent + "  " + items[i];
  }
  return text + "\n" + indent + "]";
}

// ITEMS as an array on one line.
std::string strings(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += (text.empty() ? "" : ", ") + json_string(item);
  }
  return "[" + text + "]";
}

const char* verdict_word(Verdict verdict) { return kVerdicts.at(static_cast<size_t>(verdict)); }

// A line of findings taken apart: "KIND WHAT [NODE...]: ...".
std::string finding(const std::string& line) {
  std::istringstream words(line.substr(0, line.find(':')));
  std::string kind;
  std::string what;
  words >> kind >> what;
  std::vector<std::string> nodes;
  for (std::string word; words >> word;) {
    nodes.push_back(word);
  }
  if (what == "whole") {
    what = "whole job";
    nodes.clear();
  }
  return "{\"kind\": " + json_string(kind) + ", \"what\": " + json_string(what) +
         ", \"nodes\": " + strings(nodes) + ", \"line\": " + json_string(line) + "}";
}

std::string job(const char* kind, const std::vector<std::string>& nodes, const Outcome& outcome) {
  std::vector<std::string> runs;
  runs.reserve(outcome.runs.size());
  for (const Run& run : outcome.runs) {
    runs.push_back("{\"verdict\": " + json_string(verdict_word(run.verdict)) +
                   ", \"seconds\": " + number(run.seconds) +
                   ", \"cause\": " + json_string(run.cause) + ", \"way\": " + json_string(run.way) +
                   ", \"excused\": " + (run.excused ? "true" : "false") + "}");
  }
  const bool ran = outcome.verdict != Verdict::kNotRun;
  return std::string("{\"kind\": \"") + kind + "\", \"nodes\": " + strings(nodes) +
         ", \"verdict\": " + json_string(verdict_word(outcome.verdict)) +
         ", \"seconds\": " + (ran ? number(outcome.seconds) : "null") +
         ", \"cause\": " + json_string(outcome.cause) +
         ", \"evidence\": " + json_string(outcome.evidence) +
         ",\n     \"runs\": " + list(runs, "    ") + "}";
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto code = static_cast<unsigned char>(text[i]);
    if (code >= kHighBit) {
      const size_t length = sequence(text.substr(i));
      // Each byte of an invalid sequence becomes U+FFFD.
      quoted += length == 0 ? std::string_view("\xef\xbf\xbd") : text.substr(i, length);
      i += length == 0 ? 1 : length;
      continue;
    }
    if (code == '"' || code == '\\') {
      quoted += '\\';
    }
    if (code < kFirstPrintable) {
      std::array<char, kNumberSize> escape{};
      std::snprintf(escape.data(), escape.size(), "\\u%04x", static_cast<unsigned int>(code));
      quoted += escape.data();
    } else {
      quoted += text[i];
    }
    ++i;
  }
  return quoted + "\"";
}

std::string json(const Sweep& sweep, const JsonContext& context) {
  std::vector<std::string> findings;
  findings.reserve(sweep.suspects.size());
  for (const std::string& line : sweep.suspects) {
    findings.push_back(finding(line));
  }
  std::vector<std::string> jobs;
  for (size_t node = 0; node < sweep.names.size(); ++node) {
    jobs.push_back(job("alone", {sweep.names[node]}, sweep.matrix.alone(static_cast<int>(node))));
  }
  for (const Wave& wave : sweep.waves) {
    for (const Pair& pair : wave) {
      jobs.push_back(job("pair", {sweep.names[pair.first], sweep.names[pair.second]},
                         sweep.matrix.pair(pair.first, pair.second)));
    }
  }
  jobs.push_back(job("whole", sweep.names, sweep.matrix.whole()));
  std::vector<std::string> notes;
  notes.reserve(context.notes.size());
  for (const std::string& note : context.notes) {
    notes.push_back(json_string(note));
  }
  const std::string way = context.launch_way.empty() ? "null" : json_string(context.launch_way);
  return "{\n  \"mpi\": " + json_string(context.mpi) +
         ",\n  \"launch\": " + json_string(context.launch) +
         ",\n  \"options\": {\"deadline\": " + std::to_string(context.deadline) +
         ", \"per_node\": " + std::to_string(context.per_node) +
         ", \"pairs\": " + json_string(context.pairs) +
         ", \"repeat\": " + std::to_string(context.repeat) +
         ", \"slow_factor\": " + number(context.slow_factor) +
         ", \"slow_seconds\": " + number(context.slow_seconds) + ", \"launch\": " + way +
         "},\n  \"findings\": " + list(findings, "  ") + ",\n  \"notes\": " + list(notes, "  ") +
         ",\n  \"jobs\": " + list(jobs, "  ") + "\n}\n";
}
