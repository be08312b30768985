#include "sweep_launch.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "job.h"

namespace fs = std::filesystem;

namespace {

// How long scontrol may take to list the allocation's nodes.
constexpr int kScontrolSeconds = 60;
constexpr int kFolderAttempts = 100;

std::string fact(const Facts& facts, const std::string& key) {
  const auto found = facts.find(key);
  return found == facts.end() ? "" : found->second;
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

// A fact of several words, each with the VALUES filled in.
std::vector<std::string> flags(const Facts& facts, const std::string& key,
                               const std::map<std::string, std::string>& values) {
  std::vector<std::string> words;
  std::istringstream text(fact(facts, key));
  for (std::string word; text >> word;) {
    words.push_back(replaced(word, values));
  }
  return words;
}

std::vector<std::string> finished(std::vector<std::string> words, const LaunchSettings& settings,
                                  const Command& command) {
  if (!command.empty()) {
    words.insert(words.end(), command.begin(), command.end());
    return words;
  }
  words.insert(words.end(), settings.wrap.begin(), settings.wrap.end());
  words.push_back(settings.program);
  return words;
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
      refuse(std::string(from)
                 .append(" names '")
                 .append(name)
                 .append("', which no host can be called"));
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

std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
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

}  // namespace

void refuse(const std::string& reason) { throw Refusal{reason}; }

Facts read_facts(const fs::path& here) {
  fs::path file = here / "mpi.env";
  if (!fs::exists(file)) {
    file = here / ".." / "share" / "trapezoid" / "mpi.env";
  }
  std::ifstream stream(file);
  if (!stream) {
    refuse("cannot read " + file.string() + ", the build's facts about its MPI");
  }
  Facts facts;
  for (std::string line; std::getline(stream, line);) {
    const size_t equals = line.find('=');
    if (line.rfind('#', 0) != 0 && equals != std::string::npos) {
      facts[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return facts;
}

const char* via_name(Via via) { return via == Via::kSrun ? "srun" : "mpiexec"; }

Via other_way(Via via) { return via == Via::kSrun ? Via::kMpiexec : Via::kSrun; }

std::vector<std::string> allocation_line(const LaunchSettings& settings, Via via,
                                         const std::vector<std::string>& hosts,
                                         const Command& command) {
  const std::string count = std::to_string(settings.per_node * hosts.size());
  const std::string slots = std::to_string(settings.per_node);
  std::string list;
  std::string with_slots;
  for (const std::string& host : hosts) {
    list += (list.empty() ? "" : ",") + host;
    with_slots.append(with_slots.empty() ? "" : ",").append(host).append(":").append(slots);
  }
  if (via == Via::kSrun) {
    // Steps of one allocation share its nodes (--overlap) and may start more
    // tasks than the allocation has CPUs there (--overcommit).
    return finished({"srun", "--mpi=" + settings.pmi, "--nodes=" + std::to_string(hosts.size()),
                     "--ntasks=" + count, "--ntasks-per-node=" + slots, "--nodelist=" + list,
                     "--overlap", "--overcommit", "--kill-on-bad-exit=1"},
                    settings, command);
  }
  std::vector<std::string> words = {fact(settings.facts, "TRAPEZOID_MPIEXEC"),
                                    fact(settings.facts, "TRAPEZOID_NUMPROC_FLAG"), count};
  const std::vector<std::string> more = flags(settings.facts, "TRAPEZOID_ALLOCATION_FLAGS",
                                              {{"{hosts}", with_slots}, {"{slots}", slots}});
  words.insert(words.end(), more.begin(), more.end());
  return finished(words, settings, command);
}

std::vector<std::string> hostfile_line(const LaunchSettings& settings, const std::string& hostfile,
                                       size_t hosts, const Command& command) {
  std::vector<std::string> words = {fact(settings.facts, "TRAPEZOID_MPIEXEC"),
                                    fact(settings.facts, "TRAPEZOID_NUMPROC_FLAG"),
                                    std::to_string(settings.per_node * hosts)};
  const std::vector<std::string> more = flags(settings.facts, "TRAPEZOID_REMOTE_FLAGS",
                                              {{"{rsh}", settings.rsh}, {"{hostfile}", hostfile}});
  words.insert(words.end(), more.begin(), more.end());
  return finished(words, settings, command);
}

std::string hostfile_text(const LaunchSettings& settings, const std::vector<std::string>& hosts) {
  std::string text;
  for (const std::string& host : hosts) {
    text += replaced(fact(settings.facts, "TRAPEZOID_HOST_LINE"),
                     {{"{host}", host}, {"{slots}", std::to_string(settings.per_node)}}) +
            "\n";
  }
  return text;
}

std::string misplaced(const std::string& output, size_t nodes, int per_node) {
  std::vector<std::pair<std::string, int>> counts;
  for (const std::string& name : words_of(output)) {
    const auto found = std::find_if(counts.begin(), counts.end(),
                                    [&name](const auto& count) { return count.first == name; });
    if (found == counts.end()) {
      counts.emplace_back(name, 1);
    } else {
      ++found->second;
    }
  }
  const bool right = counts.size() == nodes &&
                     std::all_of(counts.begin(), counts.end(), [per_node](const auto& count) {
                       return count.second == per_node;
                     });
  if (right) {
    return "";
  }
  if (counts.empty()) {
    return "no host name";
  }
  std::string text;
  for (const auto& [name, count] : counts) {
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " on " + name;
  }
  return text;
}

Launcher::Launcher(const Options& options, const fs::path& here) {
  settings_.facts = read_facts(here);
  settings_.per_node = options.per_node;
  settings_.wrap = words_of(options.wrap);
  wrap_text_ = options.wrap;
  settings_.program = (here / "trapezoid").string();
  // A wrapped program runs where the wrapper puts it (an image), as its
  // PATH finds it; the wrapper itself may be only on the nodes.
  if (!settings_.wrap.empty()) {
    settings_.program = "trapezoid";
  } else if (!runnable(settings_.program)) {
    refuse("no program " + settings_.program);
  }
  if (options.hostfile.empty()) {
    slurm(options);
  } else {
    hostfile(options);
  }
}

Launcher::~Launcher() {
  if (!work_.empty()) {
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }
}

std::string Launcher::mpi() const { return fact(settings_.facts, "TRAPEZOID_MPI"); }

std::string Launcher::description() const {
  std::string text;
  if (!allocation_) {
    text = fact(settings_.facts, "TRAPEZOID_MPIEXEC") + " through " + settings_.rsh;
  } else if (via_ == Via::kSrun) {
    text = "srun --mpi=" + settings_.pmi;
  } else {
    text = fact(settings_.facts, "TRAPEZOID_MPIEXEC") + " in the allocation";
  }
  if (!settings_.wrap.empty()) {
    text += ", each process in '" + wrap_text_ + "'";
  }
  return text;
}

std::vector<std::string> Launcher::line(const std::vector<int>& nodes, size_t index, Via via,
                                        const Command& command) const {
  std::vector<std::string> hosts;
  hosts.reserve(nodes.size());
  for (const int node : nodes) {
    hosts.push_back(nodes_[node]);
  }
  if (allocation_) {
    return allocation_line(settings_, via, hosts, command);
  }
  const std::string hostfile = (work_ / ("job" + std::to_string(index) + ".hosts")).string();
  std::ofstream file(hostfile);
  if (!(file << hostfile_text(settings_, hosts)).flush()) {
    refuse("cannot write " + hostfile);
  }
  return hostfile_line(settings_, hostfile, hosts.size(), command);
}

void Launcher::slurm(const Options& options) {
  const char* list = std::getenv("SLURM_JOB_NODELIST");
  if (list == nullptr || *list == '\0') {
    refuse("not inside a Slurm allocation, and no --hostfile");
  }
  if (!runnable("srun") || !runnable("scontrol")) {
    refuse("no srun or scontrol on PATH");
  }
  allocation_ = true;
  const std::string launch =
      options.launch.empty() ? fact(settings_.facts, "TRAPEZOID_SLURM_LAUNCH") : options.launch;
  if (launch != "srun" && launch != "mpiexec") {
    refuse("the build names no way to launch in an allocation: give --launch srun or mpiexec");
  }
  via_ = launch == "srun" ? Via::kSrun : Via::kMpiexec;
  reliable_ = launch == fact(settings_.facts, "TRAPEZOID_SLURM_LAUNCH");
  settings_.pmi = options.pmi.empty() ? fact(settings_.facts, "TRAPEZOID_PMI") : options.pmi;
  const bool srun = !settings_.pmi.empty();
  const std::string mpiexec = fact(settings_.facts, "TRAPEZOID_MPIEXEC");
  const bool own =
      runnable(mpiexec) && !fact(settings_.facts, "TRAPEZOID_ALLOCATION_FLAGS").empty();
  if (via_ == Via::kSrun && !srun) {
    refuse("the build names no PMI for its MPI: give --mpi");
  }
  if (via_ == Via::kMpiexec && !own) {
    refuse("no launcher '" + mpiexec + "' that knows the allocation's hosts for the build's MPI '" +
           mpi() + "': give --launch srun");
  }
  has_other_ = srun && own;
  JobRun run;
  const std::string error = run_job({"scontrol", "show", "hostnames", list}, kScontrolSeconds, run);
  if (!error.empty() || !run.failure.empty() || run.stopped) {
    refuse("scontrol show hostnames " + std::string(list) + " failed: " + error + run.failure +
           run.errors);
  }
  nodes_ = nodes_of(lines_of(run.output), "the allocation " + std::string(list));
}

void Launcher::hostfile(const Options& options) {
  nodes_ = read_hostfile(options.hostfile);
  settings_.rsh = options.rsh.empty() ? "ssh" : options.rsh;
  if (!runnable(settings_.rsh)) {
    refuse("no remote shell '" + settings_.rsh + "'");
  }
  const std::string mpiexec = fact(settings_.facts, "TRAPEZOID_MPIEXEC");
  if (!runnable(mpiexec)) {
    refuse("no launcher '" + mpiexec + "'");
  }
  if (fact(settings_.facts, "TRAPEZOID_REMOTE_FLAGS").empty()) {
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
}
