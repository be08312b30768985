#include "job.h"

#ifdef _WIN32

std::string run_job(const std::vector<std::string>& /*command*/, int /*seconds*/, JobRun& /*run*/) {
  return "running a job under a deadline needs a POSIX system";
}

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
#include <cstring>
#include <fstream>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// How long a job has to end once told to, before it is killed: Open MPI's
// launcher takes a second or two to bring its processes down.
constexpr std::chrono::seconds kGrace(5);
// How often to look whether the command has ended once its output has.
constexpr int kWaitMilliseconds = 20;
constexpr size_t kBufferSize = 65536;
constexpr int kFirstFreeDescriptor = 3;

volatile std::sig_atomic_t interruption = 0;

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

// Starts the command in a process group of its own, reading nothing and
// writing into OUTPUT and ERRORS; returns 0 or the error.
int spawn(const std::vector<std::string>& command, int output, int errors, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
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

// Reads the job's standard output and error into TEXTS, or drops them when
// null, until both pipes end, the time is up or a signal comes; returns
// whether they ended. An ended pipe's descriptor is closed and set to -1.
bool collect(std::array<int, 2>& inputs, Clock::time_point until,
             std::array<std::string, 2>* texts) {
  std::array<char, kBufferSize> buffer{};
  while (interruption == 0 && (inputs[0] >= 0 || inputs[1] >= 0)) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    std::array<pollfd, 2> ready = {pollfd{inputs[0], POLLIN, 0}, pollfd{inputs[1], POLLIN, 0}};
    if (poll(ready.data(), ready.size(),
             static_cast<int>(std::min<decltype(left)>(left, INT_MAX))) <= 0) {
      continue;
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
      const ssize_t length =
          ready[i].revents == 0 ? -1 : read(inputs[i], buffer.data(), buffer.size());
      if (length > 0 && texts != nullptr) {
        (*texts)[i].append(buffer.data(), static_cast<size_t>(length));
      }
      if (ready[i].revents != 0 && (length == 0 || (length < 0 && errno != EINTR))) {
        close(inputs[i]);
        inputs[i] = -1;
      }
    }
  }
  return inputs[0] < 0 && inputs[1] < 0;
}

// Waits until the command ends, the time is up or a signal comes; returns
// whether it ended.
bool await(pid_t pid, Clock::time_point until, int& status) {
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (interruption != 0 || Clock::now() >= until) {
      return false;
    }
    poll(nullptr, 0, kWaitMilliseconds);
  }
  return true;
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

}  // namespace

std::string run_job(const std::vector<std::string>& command, int seconds, JobRun& run) {
#ifdef __linux__
  // Orphans of the job become this process's children, so that none outlives it.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
  std::array<int, 2> output{};
  std::array<int, 2> errors{};
  if (!make_pipe(output) || !make_pipe(errors)) {
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  }
  pid_t pid = 0;
  const int error = spawn(command, output[1], errors[1], pid);
  close(output[1]);
  close(errors[1]);
  std::array<int, 2> inputs = {output[0], errors[0]};
  if (error != 0) {
    close(inputs[0]);
    close(inputs[1]);
    return "cannot run " + command[0] + ": " + std::strerror(error);
  }
  handle_interruptions(interrupt);

  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  std::array<std::string, 2> texts;
  int status = 0;
  if (!(collect(inputs, deadline, &texts) && await(pid, deadline, status))) {
    // What comes after the deadline is no part of the answer: a launcher
    // told to end may resume a stopped process (Open MPI 4.1's does), and
    // the job then finishes late.
    run.stopped = true;
    const int signal = interruption;
    interruption = 0;
    kill(-pid, SIGTERM);
    const auto grace = Clock::now() + kGrace;
    if (!(collect(inputs, grace, nullptr) && await(pid, grace, status))) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    if (signal != 0) {
      interruption = signal;
    }
  }
  run.output = std::move(texts[0]);
  run.errors = std::move(texts[1]);
  for (const int input : inputs) {
    if (input >= 0) {
      close(input);
    }
  }
  kill_leftovers();
  handle_interruptions(SIG_DFL);
  if (interruption != 0) {
    std::raise(interruption);
  }
  run.failure = run.stopped ? "" : describe_end(status);
  return "";
}

#endif
