// trapezoid-sweep: finds the bad node or the bad link of a cluster. It runs
// the trapezoid job on each node by itself, then on every pair of nodes in
// waves of disjoint pairs, then on all the nodes at once, each job under a
// deadline; it judges each output and names the nodes and links the
// failures point at.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "job.h"
#include "sweep.h"
#include "sweep_json.h"
#include "sweep_launch.h"
#include "sweep_report.h"
#include "sweep_run.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: trapezoid-sweep [--hostfile FILE [--rsh PROGRAM]] [--launch srun|mpiexec] [--mpi PMI]\n"
    "                       [--per-node N] [--deadline SECONDS] [--pairs all|ring]\n"
    "                       [--repeat K] [--slow-factor X] [--slow-seconds S]\n"
    "                       [--wrap 'COMMAND...'] [--junit FILE] [--json FILE] [--svg FILE]";
constexpr const char* kHelp =
    "Inside a Slurm allocation (salloc -N K, or a batch script) it runs every job on the\n"
    "allocation's nodes the way the build's MPI starts reliably there: the MPI's own mpiexec\n"
    "for Open MPI, srun for MPICH; with --hostfile, the MPI's mpiexec on the hosts listed.\n"
    "  --hostfile FILE     the hosts, one a line: HOST, HOST:N or HOST slots=N; # starts a "
    "comment\n"
    "  --rsh PROGRAM       the remote shell mpiexec starts processes through (default ssh)\n"
    "  --launch srun|mpiexec  in an allocation, start jobs with srun or the MPI's mpiexec\n"
    "  --mpi PMI           srun's --mpi (default the build's: pmi2 for MPICH, pmix for Open MPI)\n"
    "  --per-node N        processes on each node of a job (default 2)\n"
    "  --deadline SECONDS  a job still running then is stopped and fails (default 60)\n"
    "  --pairs all|ring    every pair of nodes (default), or only neighbours in a ring\n"
    "  --repeat K          run every pair K times (default 1), to catch what fails now and then\n"
    "  --slow-factor X     slow: at least X times the others' time (default 2)\n"
    "  --slow-seconds S    slow: and at least S seconds more than it (default 1)\n"
    "  --wrap 'COMMAND...' run each process as COMMAND... trapezoid (a container: 'ch-run IMAGE\n"
    "                      --'); words split at blanks, no shell; trapezoid is found on its PATH\n"
    "  --junit FILE        also write every job to FILE as a JUnit test case\n"
    "  --json FILE         also write every job's runs and the findings to FILE as JSON\n"
    "  --svg FILE          also draw the matrix of pairs, coloured by time, into FILE\n"
    "Exit status: 0 nothing named, 1 a node or link named (dead, slow or flaky), 2 bad\n"
    "arguments, processes not where asked, or no job started.";
constexpr int kMaxPerNode = 9999;
constexpr int kMaxSeconds = 86400;
constexpr int kDefaultDeadline = 60;
constexpr size_t kNodesNamed = 8;
constexpr int kMostRepeats = 1000;

struct Options {
  Launcher::Options launch;
  std::string pairs = "all";
  std::string junit;
  std::string svg;
  std::string json;
  std::string slow_factor;
  std::string slow_seconds;
  int deadline = kDefaultDeadline;
  int repeat = 1;
  Rules rules;
};

// A number of at least LEAST written in TEXT, or a refusal naming OPTION.
double parse_decimal(const std::string& option, const std::string& text, double least) {
  char* end = nullptr;
  const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= least) || value > kMaxSeconds) {
    refuse(option + " must be a number from " + std::to_string(static_cast<int>(least)) +
           " to 86400, not '" + text + "'");
  }
  return value;
}

// A whole number an option takes, and what it must be.
struct Number {
  int* value;
  int most;
  const char* must;
};

// Refuses options that do not go together, and files that cannot be written.
void check_options(Options& options) {
  if (options.pairs != "all" && options.pairs != "ring") {
    refuse("--pairs must be all or ring, not '" + options.pairs + "'");
  }
  const Launcher::Options& launch = options.launch;
  if (!launch.hostfile.empty() && (!launch.pmi.empty() || !launch.launch.empty())) {
    refuse(
        "--mpi and --launch are for an allocation; with --hostfile the MPI's own mpiexec "
        "starts the jobs");
  }
  if (launch.hostfile.empty() && !launch.rsh.empty()) {
    refuse("--rsh goes with --hostfile");
  }
  if (!launch.launch.empty() && launch.launch != "srun" && launch.launch != "mpiexec") {
    refuse("--launch must be srun or mpiexec, not '" + launch.launch + "'");
  }
  if (launch.wrap.find_first_not_of(" \t") == std::string::npos && !launch.wrap.empty()) {
    refuse("--wrap needs a command");
  }
  if (!options.slow_factor.empty()) {
    options.rules.factor = parse_decimal("--slow-factor", options.slow_factor, 1);
  }
  if (!options.slow_seconds.empty()) {
    options.rules.more = parse_decimal("--slow-seconds", options.slow_seconds, 0);
  }
  for (const std::string* file : {&options.junit, &options.svg, &options.json}) {
    if (!file->empty() && !std::ofstream(*file, std::ios::app)) {
      refuse("cannot write " + *file + ": " + std::strerror(errno));
    }
  }
}

Options parse(const std::vector<std::string>& args) {
  Options options;
  Launcher::Options& launch = options.launch;
  const std::map<std::string, std::string*> texts = {{"--hostfile", &launch.hostfile},
                                                     {"--rsh", &launch.rsh},
                                                     {"--mpi", &launch.pmi},
                                                     {"--launch", &launch.launch},
                                                     {"--pairs", &options.pairs},
                                                     {"--junit", &options.junit},
                                                     {"--svg", &options.svg},
                                                     {"--wrap", &launch.wrap},
                                                     {"--json", &options.json},
                                                     {"--slow-factor", &options.slow_factor},
                                                     {"--slow-seconds", &options.slow_seconds}};
  const std::map<std::string, Number> numbers = {
      {"--per-node", {&launch.per_node, kMaxPerNode, "a whole number from 1 to 9999"}},
      {"--deadline", {&options.deadline, kMaxSeconds, "a whole number of seconds from 1 to 86400"}},
      {"--repeat", {&options.repeat, kMostRepeats, "a whole number from 1 to 1000"}}};
  for (size_t i = 0; i < args.size(); i += 2) {
    const std::string& name = args[i];
    const auto text = texts.find(name);
    const auto number = numbers.find(name);
    if (text == texts.end() && number == numbers.end()) {
      refuse("unknown argument '" + name + "'");
    }
    if (i + 1 == args.size()) {
      refuse(name + " needs a value");
    }
    const std::string& value = args[i + 1];
    if (text != texts.end()) {
      *text->second = value;
      continue;
    }
    *number->second.value = parse_count(value, number->second.most);
    if (*number->second.value == 0) {
      std::string reason = name;
      reason += " must be ";
      reason += number->second.must;
      refuse(reason.append(", not '").append(value).append("'"));
    }
  }
  check_options(options);
  return options;
}

void announce(const Options& options, const Launcher& launcher, const Sweep& sweep) {
  std::string listed;
  for (size_t i = 0; i < sweep.names.size() && i < kNodesNamed; ++i) {
    listed += " " + sweep.names[i];
  }
  if (sweep.names.size() > kNodesNamed) {
    listed += " ...";
  }
  std::fprintf(stderr,
               "trapezoid-sweep: %zu node(s),%s; %d process(es) a node, deadline %d s, through "
               "%s; %s pairs in %zu wave(s)\n",
               sweep.names.size(), listed.c_str(), options.launch.per_node, options.deadline,
               launcher.description().c_str(), options.pairs.c_str(), sweep.waves.size());
}

// Writes the table, the suspects and the files; returns the exit status.
int conclude(const Options& options, const Launcher& launcher, Sweep& sweep,
             const Sweeper& sweeper) {
  sweep.suspects = blame(sweep.matrix, sweep.names);
  for (auto&& lines :
       {slow(sweep.matrix, sweep.names, options.rules), flaky(sweep.matrix, sweep.names)}) {
    sweep.suspects.insert(sweep.suspects.end(), lines.begin(), lines.end());
  }
  std::fputs(table(sweep).c_str(), stdout);
  std::vector<std::string> lines = sweep.suspects;
  for (const std::string& note : sweeper.notes()) {
    lines.push_back(note);
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::printf("%s%s\n", i == 0 ? "\n" : "", lines[i].c_str());
  }
  int status = sweep.suspects.empty() ? 0 : 1;
  if (!sweeper.anything_written()) {
    std::fprintf(stderr,
                 "trapezoid-sweep: no job started at all: check the launcher (%s) and that it "
                 "belongs to the build's MPI (%s)\n",
                 launcher.description().c_str(), launcher.mpi().c_str());
    status = 2;
  }
  const JsonContext context{launcher.mpi(),       launcher.description(), options.deadline,
                            launcher.per_node(),  options.pairs,          options.repeat,
                            options.rules.factor, options.rules.more,     options.launch.launch,
                            sweeper.notes()};
  for (const auto& [file, text] :
       {std::pair{options.junit, junit(sweep)}, std::pair{options.svg, svg(sweep)},
        std::pair{options.json, json(sweep, context)}}) {
    if (!file.empty() && !(std::ofstream(file, std::ios::trunc) << text)) {
      std::fprintf(stderr, "trapezoid-sweep: cannot write %s\n", file.c_str());
      status = 2;
    }
  }
  return status;
}

void say(const std::string& line) { std::fprintf(stderr, "trapezoid-sweep: %s\n", line.c_str()); }

// Runs the sweep; returns its exit status.
int sweep(const Options& options, const Launcher& launcher) {
  Sweep result;
  result.names = launcher.nodes();
  const int count = static_cast<int>(result.names.size());
  result.matrix = Matrix(count);
  result.waves = options.pairs == "ring" ? ring_pairs(count) : every_pair(count);
  announce(options, launcher, result);
  Sweeper sweeper(launcher, {options.deadline, options.repeat, options.rules}, say);
  if (const std::string wrong = sweeper.check_placement(); !wrong.empty()) {
    say("processes not where they were asked for: " + wrong +
        "; a sweep of such jobs would pass or blame the wrong nodes");
    return 2;
  }
  sweeper.run(result);
  return interrupted() != 0 ? 0 : conclude(options, launcher, result, sweeper);
}

fs::path here(const char* argv0) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return (error ? fs::absolute(argv0) : self).parent_path();
}

int run(const std::vector<std::string>& args, const char* argv0) {
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    std::printf("%s\n%s\n", kUsage, kHelp);
    return 0;
  }
  try {
    const Options options = parse(args);
    // Caught from here on, so that an interrupted sweep ends its jobs and
    // removes its files before it goes.
    catch_interruptions();
    Launcher launcher(options.launch, here(argv0));
    return sweep(options, launcher);
  } catch (const Refusal& refusal) {
    std::fprintf(stderr, "trapezoid-sweep: %s\n%s\n", refusal.reason.c_str(), kUsage);
    return 2;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const int status = run(std::vector<std::string>(argv + 1, argv + argc), argv[0]);
  if (const int signal = interrupted(); signal != 0) {
    std::fprintf(stderr,
                 "trapezoid-sweep: interrupted by signal %d; every job it started is ended\n",
                 signal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  return status;
}
