// What launchers, the loader and remote shells say when a job cannot start
// or its processes cannot meet, and the cause each message points to.
#ifndef TRAPEZOID_MESSAGES_H
#define TRAPEZOID_MESSAGES_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A line as quoted in a message: in quotes, cut short, control characters
// shown as '?'.
std::string quote(std::string_view line);

struct SaidCauses {
  // Each "KEYWORD: what happened: what to try", the most specific first.
  std::vector<std::string> specific;
  // A known launcher error that points to none of those, quoted; or, where
  // QUOTE_ANY was given, the first line that says something.
  std::string launcher_error;
};

// Reads LINES, the text a job wrote beside its report lines, in order;
// QUOTE_ANY when no process wrote its line.
SaidCauses causes_said(const std::vector<std::string_view>& lines, bool quote_any);

// Calls COUNT with each line of TEXT, without its line end, and its number.
template <typename Count>
void for_each_line(std::string_view text, Count count) {
  for (int line_number = 1; !text.empty(); ++line_number) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    count(line, line_number);
  }
}

// Whether TEXT says Open MPI could not make its session directory because
// another launcher on the host made it, or removed it, at the same moment.
bool session_dir_raced(std::string_view text);

#endif
