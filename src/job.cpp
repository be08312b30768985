#include "job.h"

#ifdef _WIN32

void run_jobs(std::vector<Job>& jobs, int /*seconds*/) {
  for (Job& job : jobs) {
    job.run.failure = "running a job under a deadline needs a POSIX system";
  }
}

std::string run_job(const std::vector<std::string>& /*command*/, int /*seconds*/, JobRun& /*run*/) {
  return "running a job under a deadline needs a POSIX system";
}

void catch_interruptions() {}
int interrupted() { return 0; }

#else

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// How long a job has to end once told to, before it is killed: Open MPI's
// launcher takes a second or two to bring its processes down.
constexpr std::chrono::seconds kGrace(5);
// How often to look whether a command has ended once its output has.
constexpr int kWaitMilliseconds = 2;
// Jobs running at once, two descriptors each, well within the usual 1024.
constexpr size_t kMostAtOnce = 256;
constexpr size_t kBufferSize = 65536;
constexpr int kFirstFreeDescriptor = 3;

volatile std::sig_atomic_t interruption = 0;
bool catching = false;

void interrupt(int signal) { interruption = signal; }

void handle_interruptions(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

// This process's children: the command, and, as their subreaper, whatever
// the job left when its parent ended.
std::vector<pid_t> children() {
  std::ifstream file("/proc/self/task/" + std::to_string(getpid()) + "/children");
  std::vector<pid_t> pids;
  pid_t pid = 0;
  while (file >> pid) {
    pids.push_back(pid);
  }
  return pids;
}

// Kills what is left of the job, down to its orphans' orphans.
void kill_leftovers() {
  for (std::vector<pid_t> pids = children(); !pids.empty(); pids = children()) {
    for (const pid_t pid : pids) {
      kill(pid, SIGKILL);
    }
    for (const pid_t pid : pids) {
      waitpid(pid, nullptr, 0);
    }
  }
}

// Pipe ends that are not standard input, output or error, even when those are closed.
bool make_pipe(std::array<int, 2>& ends) {
  if (pipe(ends.data()) != 0) {
    return false;
  }
  for (int& end : ends) {
    const int moved = fcntl(end, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    close(end);
    end = moved;
  }
  return ends[0] >= 0 && ends[1] >= 0;
}

// Every job's standard input: a pipe that this process holds open and
// nobody writes, so that it never ends. Given one that ends (/dev/null),
// MPICH 4.0's mpiexec tells its proxies so, and when a proxy whose program
// could not start has gone already, it dies of SIGPIPE with the error unsaid.
int endless_input() {
  static std::array<int, 2> ends = {-1, -1};
  if (ends[0] < 0 && !make_pipe(ends)) {
    ends = {-1, -1};
  }
  return ends[0];
}

// Starts the command in a process group of its own, reading nothing and
// writing into OUTPUT and ERRORS; returns 0 or the error.
int spawn(const std::vector<std::string>& command, int output, int errors, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (const int input = endless_input(); input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<char*> words;
  words.reserve(command.size() + 1);
  for (const std::string& word : command) {
    words.push_back(const_cast<char*>(word.c_str()));
  }
  words.push_back(nullptr);
  const int error = posix_spawnp(&pid, words[0], &actions, &attributes, words.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

std::string describe_end(int status) {
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    return "the command exited with status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return "the command was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "";
}

// One job while it runs.
struct Running {
  Job* job = nullptr;
  pid_t pid = 0;
  std::array<int, 2> inputs = {-1, -1};
  std::array<std::string, 2> texts;
  Clock::time_point started;
  Clock::time_point deadline;
  Clock::time_point complete_at = Clock::time_point::max();
  Clock::time_point kill_at = Clock::time_point::max();
  bool reaped = false;
  int status = 0;

  bool stopping() const { return kill_at != Clock::time_point::max(); }
  bool done() const { return reaped && inputs[0] < 0 && inputs[1] < 0; }
};

// Starts JOB; false, with its failure set, when it could not be.
bool start(Job& job, int seconds, Running& running) {
  running.job = &job;
  std::array<int, 2> output{};
  std::array<int, 2> errors{};
  if (!make_pipe(output) || !make_pipe(errors)) {
    job.run.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  const int error = spawn(job.command, output[1], errors[1], running.pid);
  close(output[1]);
  close(errors[1]);
  running.inputs = {output[0], errors[0]};
  if (error != 0) {
    close(output[0]);
    close(errors[0]);
    job.run.failure = "cannot run " + job.command[0] + ": " + std::strerror(error);
    return false;
  }
  job.run.started = true;
  running.started = Clock::now();
  running.deadline = running.started + std::chrono::seconds(seconds);
  return true;
}

// Tells the job's group to end, once; what it writes from now on is no part
// of the answer: a launcher told to end may resume a stopped process (Open
// MPI 4.1's does), and the job then finishes late.
void stop(Running& running, Clock::time_point now) {
  if (running.stopping()) {
    return;
  }
  running.job->run.stopped = true;
  running.job->run.stopped_after_output = running.complete_at != Clock::time_point::max();
  kill(-running.pid, SIGTERM);
  running.kill_at = now + kGrace;
}

void close_input(Running& running, size_t which) {
  close(running.inputs[which]);
  running.inputs[which] = -1;
}

// Stops, kills or reaps the job as its times say; returns when it next
// needs looking at.
Clock::time_point tend(Running& running, Clock::time_point now) {
  const auto after_output = running.complete_at + std::chrono::seconds(kSecondsAfterOutput);
  if (interruption != 0 || now >= running.deadline ||
      (running.complete_at != Clock::time_point::max() && now >= after_output)) {
    stop(running, now);
  }
  if (!running.reaped && waitpid(running.pid, &running.status, WNOHANG) == running.pid) {
    running.reaped = true;
  }
  if (running.stopping() && now >= running.kill_at) {
    kill(-running.pid, SIGKILL);
    if (!running.reaped) {
      waitpid(running.pid, &running.status, 0);
      running.reaped = true;
    }
    // Whatever still holds the pipes is a leftover, killed with the rest.
    for (size_t i = 0; i < running.inputs.size(); ++i) {
      if (running.inputs[i] >= 0) {
        close_input(running, i);
      }
    }
  }
  if (running.done()) {
    return Clock::time_point::max();
  }
  if (!running.reaped && running.inputs[0] < 0 && running.inputs[1] < 0) {
    return now + std::chrono::milliseconds(kWaitMilliseconds);
  }
  if (running.stopping()) {
    return running.kill_at;
  }
  return std::min(running.deadline, running.complete_at == Clock::time_point::max()
                                        ? Clock::time_point::max()
                                        : after_output);
}

// Reads what is ready on the job's pipes.
void take_output(Running& running, const pollfd* ready, Clock::time_point now) {
  std::array<char, kBufferSize> buffer{};
  bool more_output = false;
  for (size_t i = 0; i < running.inputs.size(); ++i) {
    if (running.inputs[i] < 0 || ready[i].revents == 0) {
      continue;
    }
    const ssize_t length = read(running.inputs[i], buffer.data(), buffer.size());
    if (length > 0 && !running.stopping()) {
      running.texts[i].append(buffer.data(), static_cast<size_t>(length));
      more_output = more_output || i == 0;
    }
    if (length == 0 || (length < 0 && errno != EINTR && errno != EAGAIN)) {
      close_input(running, i);
    }
  }
  const Job& job = *running.job;
  if (more_output && job.complete && running.complete_at == Clock::time_point::max() &&
      job.complete(running.texts[0])) {
    running.complete_at = now;
    running.job->run.complete_seconds =
        std::chrono::duration<double>(now - running.started).count();
  }
}

void finish(Running& running) {
  JobRun& run = running.job->run;
  run.output = std::move(running.texts[0]);
  run.errors = std::move(running.texts[1]);
  run.failure = run.stopped ? "" : describe_end(running.status);
  run.seconds = std::chrono::duration<double>(Clock::now() - running.started).count();
}

// Waits until a job writes or UNTIL, and reads what they wrote.
void wait_for_output(std::vector<Running>& running, Clock::time_point now,
                     Clock::time_point until) {
  std::vector<pollfd> ready;
  ready.reserve(2 * running.size());
  for (const Running& job : running) {
    for (const int input : job.inputs) {
      ready.push_back(pollfd{input, POLLIN, 0});
    }
  }
  std::int64_t left = INT_MAX;
  if (until != Clock::time_point::max()) {
    left = std::max<std::int64_t>(
        0, std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
  }
  if (poll(ready.data(), ready.size(), static_cast<int>(std::min<std::int64_t>(left, INT_MAX))) <=
      0) {
    return;
  }
  const Clock::time_point read_at = Clock::now();
  for (size_t i = 0; i < running.size(); ++i) {
    take_output(running[i], &ready[2 * i], read_at);
  }
}

}  // namespace

void run_jobs(std::vector<Job>& jobs, int seconds) {
#ifdef __linux__
  // Orphans of the jobs become this process's children, so that none outlives them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
  std::vector<Running> running;
  size_t next = 0;
  while (next < jobs.size() || !running.empty()) {
    for (; next < jobs.size() && running.size() < kMostAtOnce && interruption == 0; ++next) {
      Running started;
      if (start(jobs[next], seconds, started)) {
        running.push_back(std::move(started));
      }
    }
    next = interruption == 0 ? next : jobs.size();
    const Clock::time_point now = Clock::now();
    Clock::time_point until = Clock::time_point::max();
    for (Running& job : running) {
      until = std::min(until, tend(job, now));
    }
    const auto ended = std::partition(running.begin(), running.end(),
                                      [](const Running& job) { return !job.done(); });
    std::for_each(ended, running.end(), finish);
    running.erase(ended, running.end());
    if (!running.empty()) {
      wait_for_output(running, now, until);
    }
  }
  kill_leftovers();
}

std::string run_job(const std::vector<std::string>& command, int seconds, JobRun& run) {
  std::vector<Job> jobs(1);
  jobs[0].command = command;
  // A caller that catches interruptions itself handles them.
  const bool caught = catching;
  catch_interruptions();
  run_jobs(jobs, seconds);
  if (!caught) {
    handle_interruptions(SIG_DFL);
    catching = false;
    if (interruption != 0) {
      std::raise(interruption);
    }
  }
  if (!jobs[0].run.started) {
    return jobs[0].run.failure;
  }
  run = std::move(jobs[0].run);
  return "";
}

void catch_interruptions() {
  handle_interruptions(interrupt);
  catching = true;
}

int interrupted() { return interruption; }

#endif
