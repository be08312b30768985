// trapezoid-check NP [FILE [ERRORS]]: checks the output of an NP-process
// trapezoid job and, when it is wrong, names the likely cause. With
// --deadline it runs the job itself.
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "check.h"
#include "job.h"

namespace {

constexpr int kMaxSeconds = 86400;
constexpr size_t kBufferSize = 65536;
constexpr const char* kUsage =
    "usage: trapezoid-check NP [FILE [ERRORS]]\n"
    "       trapezoid-check --deadline SECONDS NP COMMAND...";
constexpr const char* kHelp =
    "Checks the output of a trapezoid job of NP processes (1 to 1000000), read from FILE\n"
    "or, without FILE or with -, from standard input, and, beside a wrong output, what the\n"
    "job wrote on standard error from ERRORS; with --deadline, runs COMMAND and checks\n"
    "what it writes within SECONDS, then ends it. Exit status 0: right, 1: wrong,\n"
    "2: bad arguments or a failed write.";

// Flushes STREAM; false, with a message, when a write to it failed, so that
// a verdict nobody received is not taken for one.
bool flushed(std::FILE* stream) {
  errno = 0;
  if (std::fflush(stream) == 0 && std::ferror(stream) == 0) {
    return true;
  }
  const int error = errno != 0 ? errno : EIO;
  std::fprintf(stderr, "trapezoid-check: cannot write %s: %s\n",
               stream == stdout ? "standard output" : "standard error", std::strerror(error));
  std::fflush(stderr);
  return false;
}

// Reports each problem and the causes on stderr and a summary on stdout;
// returns the exit status.
int check(std::string_view input, int process_count, std::string_view errors, const JobRun* run,
          int seconds) {
  const Judgement judgement = judge(input, process_count, errors, run, seconds);
  for (const std::string& problem : judgement.problems) {
    std::fprintf(stderr, "%s\n", problem.c_str());
  }
  for (const std::string& cause : judgement.causes) {
    std::fprintf(stderr, "cause: %s\n", cause.c_str());
  }
  // The problems before the summary, where both go to one terminal.
  if (!flushed(stderr)) {
    return 2;
  }
  std::printf("%s\n", judgement.summary.c_str());
  return judgement.right ? 0 : 1;
}

// Reads all of FILE, or standard input for "-"; false when it cannot be read.
bool read_input(const std::string& path, std::string& text) {
  std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
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

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "trapezoid-check: %s\n%s\n", problem.c_str(), kUsage);
  return 2;
}

int run(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    std::printf("%s\n%s\n", kUsage, kHelp);
    return 0;
  }
  const bool runs_job = !args.empty() && args[0] == "--deadline";
  const size_t first = runs_job ? 2 : 0;
  if (args.empty() || (!runs_job && args.size() > 3)) {
    return usage_error(args.empty() ? "no process count" : "too many arguments");
  }
  if (runs_job && args.size() < first + 2) {
    return usage_error("--deadline needs SECONDS, NP and a command");
  }
  const int seconds = runs_job ? parse_count(args[1], kMaxSeconds) : 0;
  if (runs_job && seconds == 0) {
    return usage_error("SECONDS must be a whole number from 1 to 86400, not '" + args[1] + "'");
  }
  const int process_count = parse_count(args[first], kMaxProcesses);
  if (process_count == 0) {
    return usage_error("NP must be a whole number from 1 to 1000000, not '" + args[first] + "'");
  }
  if (runs_job) {
    JobRun job;
    const std::string error =
        run_job({std::next(args.begin(), static_cast<std::ptrdiff_t>(first) + 1), args.end()},
                seconds, job);
    return error.empty() ? check(job.output, process_count, job.errors, &job, seconds)
                         : usage_error(error);
  }
  const std::string path = args.size() >= 2 ? args[1] : "-";
  std::string input;
  if (!read_input(path, input)) {
    return usage_error("cannot read " + path + ": " + std::strerror(errno));
  }
  std::string errors;
  if (args.size() == 3 && !read_input(args[2], errors)) {
    return usage_error("cannot read " + args[2] + ": " + std::strerror(errno));
  }
  return check(input, process_count, errors, nullptr, 0);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Buffered, so that a write that fails does so at the flush, with its errno.
  static std::array<char, kBufferSize> error_buffer{};
  std::setvbuf(stderr, error_buffer.data(), _IOFBF, error_buffer.size());
  const int status = run(std::vector<std::string>(argv + 1, argv + argc));
  return flushed(stderr) && flushed(stdout) ? status : 2;
}
