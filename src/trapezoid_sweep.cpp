// trapezoid-sweep: finds the bad node or the bad link of a cluster. It runs
// the trapezoid job on each node by itself, then on every pair of nodes in
// waves of disjoint pairs, then on all the nodes at once, each job under a
// deadline; it judges each output and names the nodes and links the
// failures point at.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "job.h"
#include "sweep.h"
#include "sweep_report.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: trapezoid-sweep [--hostfile FILE [--rsh PROGRAM]] [--mpi PMI] [--per-node N]\n"
    "                       [--deadline SECONDS] [--pairs all|ring] [--wrap 'COMMAND...']\n"
    "                       [--junit FILE] [--svg FILE]";
constexpr const char* kHelp =
    "Inside a Slurm allocation (salloc -N K, or a batch script) it runs every job with srun on\n"
    "the allocation's nodes; with --hostfile, with the MPI's own mpiexec on the hosts listed.\n"
    "  --hostfile FILE     the hosts, one a line: HOST, HOST:N or HOST slots=N; # starts a "
    "comment\n"
    "  --rsh PROGRAM       the remote shell mpiexec starts processes through (default ssh)\n"
    "  --mpi PMI           srun's --mpi (default the build's: pmi2 for MPICH, pmix for Open MPI)\n"
    "  --per-node N        processes on each node of a job (default 2)\n"
    "  --deadline SECONDS  a job still running then is stopped and fails (default 60)\n"
    "  --pairs all|ring    every pair of nodes (default), or only neighbours in a ring\n"
    "  --wrap 'COMMAND...' run each process as COMMAND... trapezoid (a container: 'ch-run IMAGE\n"
    "                      --'); words split at blanks, no shell; trapezoid is found on its PATH\n"
    "  --junit FILE        also write every job to FILE as a JUnit test case\n"
    "  --svg FILE          also draw the matrix of pairs, coloured by verdict, into FILE\n"
    "Exit status: 0 every job passed, 1 suspects named, 2 bad arguments or no job started.";
constexpr int kMaxPerNode = 9999;
constexpr int kMaxSeconds = 86400;
constexpr int kDefaultDeadline = 60;
// How long scontrol may take to list the allocation's nodes.
constexpr int kScontrolSeconds = 60;
constexpr int kFolderAttempts = 100;
constexpr size_t kEvidenceLines = 10;
constexpr size_t kEvidenceWidth = 200;
constexpr size_t kNodesNamed = 8;

struct Options {
  std::string hostfile;
  std::string rsh;
  std::string pmi;
  std::string pairs = "all";
  std::string junit;
  std::string svg;
  std::string wrap;
  int per_node = 2;
  int deadline = kDefaultDeadline;
};

// Why the sweep cannot go on; main says it and exits with status 2.
struct Refusal {
  std::string reason;
};

[[noreturn]] void refuse(const std::string& reason) { throw Refusal{reason}; }

// A whole number an option takes, and what it must be.
struct Number {
  int* value;
  int most;
  const char* must;
};

// Refuses options that do not go together, and files that cannot be written.
void check_options(const Options& options) {
  if (options.pairs != "all" && options.pairs != "ring") {
    refuse("--pairs must be all or ring, not '" + options.pairs + "'");
  }
  if (!options.hostfile.empty() && !options.pmi.empty()) {
    refuse("--mpi is srun's; with --hostfile the MPI's own mpiexec starts the jobs");
  }
  if (options.hostfile.empty() && !options.rsh.empty()) {
    refuse("--rsh goes with --hostfile");
  }
  if (options.wrap.find_first_not_of(" \t") == std::string::npos && !options.wrap.empty()) {
    refuse("--wrap needs a command");
  }
  for (const std::string* file : {&options.junit, &options.svg}) {
    if (!file->empty() && !std::ofstream(*file, std::ios::app)) {
      refuse("cannot write " + *file + ": " + std::strerror(errno));
    }
  }
}

Options parse(const std::vector<std::string>& args) {
  Options options;
  const std::map<std::string, std::string*> texts = {
      {"--hostfile", &options.hostfile}, {"--rsh", &options.rsh},     {"--mpi", &options.pmi},
      {"--pairs", &options.pairs},       {"--junit", &options.junit}, {"--svg", &options.svg},
      {"--wrap", &options.wrap}};
  const std::map<std::string, Number> numbers = {
      {"--per-node", {&options.per_node, kMaxPerNode, "a whole number from 1 to 9999"}},
      {"--deadline",
       {&options.deadline, kMaxSeconds, "a whole number of seconds from 1 to 86400"}}};
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

// A name a host can have: letters, digits, '.', '-' and '_', not first '-'.
bool host_name(std::string_view name) {
  return !name.empty() && name.front() != '-' &&
         std::all_of(name.begin(), name.end(), [](char character) {
           return std::isalnum(static_cast<unsigned char>(character)) != 0 || character == '.' ||
                  character == '-' || character == '_';
         });
}

// NAMES as the sweep's nodes, each once, in order; FROM says where they came from.
std::vector<std::string> nodes_of(const std::vector<std::string>& names, const std::string& from) {
  std::vector<std::string> nodes;
  std::set<std::string> seen;
  for (const std::string& name : names) {
    if (!host_name(name)) {
      std::string reason = from;
      reason += " names '" + name + "', which no host can be called";
      refuse(reason);
    }
    if (seen.insert(name).second) {
      nodes.push_back(name);
    }
  }
  if (nodes.empty()) {
    refuse(from + " names no host");
  }
  return nodes;
}

// The first word of each line, without a :N or what follows a #.
std::vector<std::string> read_hostfile(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    refuse("cannot read " + path + ": " + std::strerror(errno));
  }
  std::vector<std::string> names;
  for (std::string line; std::getline(file, line);) {
    line.erase(std::min(line.find('#'), line.size()));
    std::istringstream words(line);
    std::string host;
    if (words >> host) {
      names.push_back(host.substr(0, host.find(':')));
    }
  }
  return nodes_of(names, path);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Whether PROGRAM, a path or a name to look for on PATH, can be run.
bool runnable(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return access(program.c_str(), X_OK) == 0;
  }
  const char* path = std::getenv("PATH");
  std::istringstream folders(path == nullptr ? "" : path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (access(((folder.empty() ? "." : folder) + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

// The build's facts about its MPI, KEY=VALUE, beside the program in the build
// folder or in share/trapezoid once installed.
std::map<std::string, std::string> read_facts(const fs::path& here) {
  fs::path file = here / "mpi.env";
  if (!fs::exists(file)) {
    file = here / ".." / "share" / "trapezoid" / "mpi.env";
  }
  std::ifstream stream(file);
  if (!stream) {
    refuse("cannot read " + file.string() + ", the build's facts about its MPI");
  }
  std::map<std::string, std::string> facts;
  for (std::string line; std::getline(stream, line);) {
    const size_t equals = line.find('=');
    if (line.rfind('#', 0) != 0 && equals != std::string::npos) {
      facts[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return facts;
}

std::string replaced(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    for (size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size())) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

// How the sweep starts a job on some of its nodes.
class Launcher {
 public:
  Launcher(const Options& options, const fs::path& here)
      : options_(options), facts_(read_facts(here)), program_((here / "trapezoid").string()) {
    std::istringstream wrap(options.wrap);
    for (std::string word; wrap >> word;) {
      wrap_.push_back(word);
    }
    // A wrapped program runs where the wrapper puts it (an image), as its
    // PATH finds it; the wrapper itself may be only on the nodes.
    if (!wrap_.empty()) {
      program_ = "trapezoid";
    } else if (!runnable(program_)) {
      refuse("no program " + program_);
    }
    if (options.hostfile.empty()) {
      slurm();
    } else {
      hostfile();
    }
    if (!wrap_.empty()) {
      description_ += ", each process in '" + options.wrap + "'";
    }
  }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;
  ~Launcher() {
    if (!work_.empty()) {
      std::error_code ignored;
      fs::remove_all(work_, ignored);
    }
  }

  const std::vector<std::string>& nodes() const { return nodes_; }
  const std::string& description() const { return description_; }
  std::string mpi() const { return fact("TRAPEZOID_MPI"); }

  // The launch line of a job on NODES, the Ith of the sweep.
  std::vector<std::string> line(const std::vector<int>& nodes, size_t index) const {
    const std::string count = std::to_string(options_.per_node * nodes.size());
    std::string list;
    for (const int node : nodes) {
      list += (list.empty() ? "" : ",") + nodes_[node];
    }
    std::vector<std::string> words;
    if (options_.hostfile.empty()) {
      // Steps of one allocation share its nodes (--overlap) and may start more
      // tasks than the allocation has CPUs there (--overcommit).
      words = {"srun",
               "--mpi=" + pmi_,
               "--nodes=" + std::to_string(nodes.size()),
               "--ntasks=" + count,
               "--ntasks-per-node=" + std::to_string(options_.per_node),
               "--nodelist=" + list,
               "--overlap",
               "--overcommit",
               "--kill-on-bad-exit=1"};
    } else {
      const std::string hostfile = (work_ / ("job" + std::to_string(index) + ".hosts")).string();
      std::ofstream hosts(hostfile);
      for (const int node : nodes) {
        hosts << replaced(
                     fact("TRAPEZOID_HOST_LINE"),
                     {{"{host}", nodes_[node]}, {"{slots}", std::to_string(options_.per_node)}})
              << "\n";
      }
      if (!hosts.flush()) {
        refuse("cannot write " + hostfile);
      }
      words = {fact("TRAPEZOID_MPIEXEC"), fact("TRAPEZOID_NUMPROC_FLAG"), count};
      std::istringstream flags(fact("TRAPEZOID_REMOTE_FLAGS"));
      for (std::string flag; flags >> flag;) {
        words.push_back(replaced(flag, {{"{rsh}", options_.rsh}, {"{hostfile}", hostfile}}));
      }
    }
    words.insert(words.end(), wrap_.begin(), wrap_.end());
    words.push_back(program_);
    return words;
  }

 private:
  std::string fact(const std::string& key) const {
    const auto found = facts_.find(key);
    return found == facts_.end() ? "" : found->second;
  }

  void slurm() {
    const char* list = std::getenv("SLURM_JOB_NODELIST");
    if (list == nullptr || *list == '\0') {
      refuse("not inside a Slurm allocation, and no --hostfile");
    }
    if (!runnable("srun") || !runnable("scontrol")) {
      refuse("no srun or scontrol on PATH");
    }
    pmi_ = options_.pmi.empty() ? fact("TRAPEZOID_PMI") : options_.pmi;
    if (pmi_.empty()) {
      refuse("the build names no PMI for its MPI: give --mpi");
    }
    JobRun run;
    const std::string error =
        run_job({"scontrol", "show", "hostnames", list}, kScontrolSeconds, run);
    if (!error.empty() || !run.failure.empty() || run.stopped) {
      refuse("scontrol show hostnames " + std::string(list) + " failed: " + error + run.failure +
             run.errors);
    }
    nodes_ = nodes_of(lines_of(run.output), "the allocation " + std::string(list));
    description_ = "srun --mpi=" + pmi_;
  }

  void hostfile() {
    nodes_ = read_hostfile(options_.hostfile);
    if (options_.rsh.empty()) {
      options_.rsh = "ssh";
    }
    if (!runnable(options_.rsh)) {
      refuse("no remote shell '" + options_.rsh + "'");
    }
    const std::string mpiexec = fact("TRAPEZOID_MPIEXEC");
    if (!runnable(mpiexec)) {
      refuse("no launcher '" + mpiexec + "'");
    }
    if (fact("TRAPEZOID_REMOTE_FLAGS").empty()) {
      refuse("no remote launch known for the build's MPI '" + mpi() + "'");
    }
    std::random_device random;
    for (int attempt = 0; attempt < kFolderAttempts && work_.empty(); ++attempt) {
      const fs::path folder =
          fs::temp_directory_path() / ("trapezoid-sweep." + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(folder, error)) {
        work_ = folder;
      }
    }
    if (work_.empty()) {
      refuse("cannot make a folder in " + fs::temp_directory_path().string());
    }
    description_ = mpiexec + " through " + options_.rsh;
  }

  Options options_;
  std::map<std::string, std::string> facts_;
  std::string program_;
  std::string pmi_;
  std::vector<std::string> wrap_;
  std::vector<std::string> nodes_;
  std::string description_;
  fs::path work_;
};

// The first lines the job wrote, each cut short, for a failure's evidence.
std::string evidence(const JobRun& run) {
  std::string text;
  for (const std::string* stream : {&run.errors, &run.output}) {
    std::istringstream lines(*stream);
    size_t count = 0;
    for (std::string line; count < kEvidenceLines && std::getline(lines, line); ++count) {
      text += line.substr(0, kEvidenceWidth) + "\n";
    }
  }
  return text;
}

// Each cause's keyword and what happened, without what to try; a launcher's
// error whole, since it is a quote.
std::string short_causes(const Judgement& judgement) {
  std::string text;
  for (const std::string& cause : judgement.causes) {
    std::string shown = cause;
    const size_t first = cause.find(": ");
    if (cause.rfind("launcher-error:", 0) != 0 && first != std::string::npos) {
      shown = cause.substr(0, cause.find(": ", first + 2));
    }
    text += (text.empty() ? "" : "; ") + shown;
  }
  return text.empty() ? judgement.summary : text;
}

Outcome outcome_of(const JobRun& run, int process_count, int deadline) {
  Outcome outcome;
  outcome.seconds = run.seconds;
  outcome.verdict = Verdict::kFail;
  if (!run.started) {
    outcome.cause = run.failure;
    return outcome;
  }
  if (run.stopped_after_output) {
    outcome.verdict = Verdict::kPass;
    outcome.cause = "right output, then no end: stopped after " +
                    std::to_string(kSecondsAfterOutput) + " s (the MPI hung in its shutdown)";
    return outcome;
  }
  const Judgement judgement = judge(run.output, process_count, run.errors, &run, deadline);
  if (judgement.right) {
    outcome.verdict = Verdict::kPass;
    return outcome;
  }
  outcome.evidence = evidence(run);
  outcome.cause = output_right(run.output, process_count) ? "right output, but " + run.failure
                                                          : short_causes(judgement);
  if (run.stopped) {
    outcome.verdict = Verdict::kNoEnd;
    outcome.cause = "no end within " + std::to_string(deadline) + " s; " + outcome.cause;
  }
  return outcome;
}

// A job of the sweep: its nodes and where its verdict goes.
struct Planned {
  std::string kind;
  std::vector<int> nodes;
  Outcome* outcome;
};

class Sweeper {
 public:
  Sweeper(const Options& options, const Launcher& launcher)
      : options_(options), launcher_(launcher) {}

  // Runs JOBS side by side, their verdicts into their outcomes; TITLE names
  // them on the progress line. A job that failed before keeps that in its cause.
  void run(const std::string& title, const std::vector<Planned>& jobs) {
    std::vector<Job> running(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i) {
      running[i].command = launcher_.line(jobs[i].nodes, started_++);
      const int count = options_.per_node * static_cast<int>(jobs[i].nodes.size());
      running[i].complete = [count](std::string_view output) {
        return output_right(output, count);
      };
    }
    const auto began = std::chrono::steady_clock::now();
    run_jobs(running, options_.deadline);
    if (interrupted() != 0) {
      return;
    }
    int passed = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
      const int count = options_.per_node * static_cast<int>(jobs[i].nodes.size());
      wrote_ = wrote_ || !running[i].run.output.empty();
      Outcome outcome = outcome_of(running[i].run, count, options_.deadline);
      Outcome& kept = *jobs[i].outcome;
      if (failed(kept.verdict)) {
        outcome.cause = failed(outcome.verdict)
                            ? "failed twice: " + outcome.cause
                            : "failed once (" + kept.cause + "), then passed" +
                                  (outcome.cause.empty() ? "" : "; " + outcome.cause);
      }
      kept = outcome;
      passed += kept.verdict == Verdict::kPass ? 1 : 0;
      if (failed(kept.verdict)) {
        std::fprintf(stderr, "trapezoid-sweep: %s %s: FAIL, %.2f s: %s\n", jobs[i].kind.c_str(),
                     names(jobs[i].nodes).c_str(), kept.seconds, kept.cause.c_str());
      }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::fprintf(stderr, "trapezoid-sweep: %s: %d of %zu passed, %.2f s\n", title.c_str(), passed,
                 jobs.size(), took.count());
  }

  // Whether any job wrote on its standard output.
  bool anything_written() const { return wrote_; }

 private:
  std::string names(const std::vector<int>& nodes) const {
    std::string text;
    for (const int node : nodes) {
      text += (text.empty() ? "" : ",") + launcher_.nodes()[node];
    }
    return nodes.size() > 2 ? "on all " + std::to_string(nodes.size()) + " nodes" : text;
  }

  const Options& options_;
  const Launcher& launcher_;
  size_t started_ = 0;
  bool wrote_ = false;
};

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
               sweep.names.size(), listed.c_str(), options.per_node, options.deadline,
               launcher.description().c_str(), options.pairs.c_str(), sweep.waves.size());
}

// Runs each wave of pairs, but for pairs with a node that fails by itself,
// which could only fail too; returns the pairs that failed.
std::vector<Pair> run_waves(Sweeper& sweeper, Sweep& sweep) {
  Matrix& matrix = sweep.matrix;
  std::vector<Pair> failures;
  for (size_t wave = 0; wave < sweep.waves.size() && interrupted() == 0; ++wave) {
    std::vector<Planned> jobs;
    for (const Pair& pair : sweep.waves[wave]) {
      Outcome& outcome = matrix.pair(pair.first, pair.second);
      for (const int node : {pair.first, pair.second}) {
        if (outcome.cause.empty() && failed(matrix.alone(node).verdict)) {
          outcome.cause = "not run: " + sweep.names[node] + " fails by itself";
        }
      }
      if (outcome.cause.empty()) {
        jobs.push_back({"pair", {pair.first, pair.second}, &outcome});
      }
    }
    if (!jobs.empty()) {
      sweeper.run("wave " + std::to_string(wave + 1) + " of " + std::to_string(sweep.waves.size()) +
                      ", pairs",
                  jobs);
    }
    for (const Planned& job : jobs) {
      if (failed(job.outcome->verdict)) {
        failures.emplace_back(job.nodes[0], job.nodes[1]);
      }
    }
  }
  return failures;
}

// A bad link or node fails every time, while some MPIs hang now and then on
// any two nodes: a pair that failed runs once more.
void run_again(Sweeper& sweeper, Matrix& matrix, const std::vector<Pair>& failures) {
  const std::vector<Wave> again = in_waves(failures);
  for (size_t wave = 0; wave < again.size() && interrupted() == 0; ++wave) {
    std::vector<Planned> jobs;
    for (const Pair& pair : again[wave]) {
      jobs.push_back({"pair", {pair.first, pair.second}, &matrix.pair(pair.first, pair.second)});
    }
    sweeper.run("failed pairs once more", jobs);
  }
}

// The job on all the nodes, as users will run it, unless a suspect is named
// already; once more if it fails.
void run_whole(Sweeper& sweeper, Sweep& sweep) {
  Matrix& matrix = sweep.matrix;
  if (matrix.count() == 1) {
    matrix.whole().cause = "not run: the same job as the node by itself";
    return;
  }
  if (!blame(matrix, sweep.names).empty()) {
    matrix.whole().cause = "not run: the suspects are named already";
    return;
  }
  std::vector<int> everyone(matrix.count());
  for (int node = 0; node < matrix.count(); ++node) {
    everyone[node] = node;
  }
  for (int attempt = 0; attempt < 2 && interrupted() == 0; ++attempt) {
    sweeper.run("the whole job", {{"whole", everyone, &matrix.whole()}});
    if (!failed(matrix.whole().verdict)) {
      break;
    }
  }
}

// Writes the table, the suspects and the files; returns the exit status.
int conclude(const Options& options, const Launcher& launcher, Sweep& sweep, bool started) {
  sweep.suspects = blame(sweep.matrix, sweep.names);
  std::fputs(table(sweep).c_str(), stdout);
  for (size_t i = 0; i < sweep.suspects.size(); ++i) {
    std::printf("%s%s\n", i == 0 ? "\n" : "", sweep.suspects[i].c_str());
  }
  int status = sweep.suspects.empty() ? 0 : 1;
  if (!started) {
    std::fprintf(stderr,
                 "trapezoid-sweep: no job started at all: check the launcher (%s) and that it "
                 "belongs to the build's MPI (%s)\n",
                 launcher.description().c_str(), launcher.mpi().c_str());
    status = 2;
  }
  for (const auto& [file, text] :
       {std::pair{options.junit, junit(sweep)}, std::pair{options.svg, svg(sweep)}}) {
    if (!file.empty() && !(std::ofstream(file, std::ios::trunc) << text)) {
      std::fprintf(stderr, "trapezoid-sweep: cannot write %s\n", file.c_str());
      status = 2;
    }
  }
  return status;
}

// Runs the sweep; returns its exit status.
int sweep(const Options& options, const Launcher& launcher) {
  Sweep result;
  result.names = launcher.nodes();
  const int count = static_cast<int>(result.names.size());
  result.matrix = Matrix(count);
  result.waves = options.pairs == "ring" ? ring_pairs(count) : every_pair(count);
  announce(options, launcher, result);
  Sweeper sweeper(options, launcher);
  std::vector<Planned> alone;
  alone.reserve(count);
  for (int node = 0; node < count; ++node) {
    alone.push_back({"alone", {node}, &result.matrix.alone(node)});
  }
  sweeper.run("nodes by themselves", alone);
  run_again(sweeper, result.matrix, run_waves(sweeper, result));
  run_whole(sweeper, result);
  return interrupted() != 0 ? 0 : conclude(options, launcher, result, sweeper.anything_written());
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
    Launcher launcher(options, here(argv0));
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
