// How trapezoid-sweep starts a job on some of its nodes: through srun or
// the MPI's own launcher inside a Slurm allocation, or through the MPI's
// launcher and a remote shell over a list of hosts; and whether a launch
// put its processes where it was asked to.
#ifndef TRAPEZOID_SWEEP_LAUNCH_H
#define TRAPEZOID_SWEEP_LAUNCH_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Why the sweep cannot go on: said with exit status 2.
struct Refusal {
  std::string reason;
};

[[noreturn]] void refuse(const std::string& reason);

// The build's facts about its MPI (mpi.env), KEY=VALUE.
using Facts = std::map<std::string, std::string>;

// The facts beside the program in the build folder, or in share/trapezoid
// once installed.
Facts read_facts(const std::filesystem::path& here);

// The ways a job can start inside a Slurm allocation.
enum class Via : std::uint8_t { kSrun, kMpiexec };

const char* via_name(Via via);

// The way that is not VIA.
Via other_way(Via via);

// What every launch line of a sweep shares.
struct LaunchSettings {
  Facts facts;
  std::string pmi;                // srun's --mpi
  std::string rsh;                // the remote shell, with a hostfile
  int per_node = 2;               // processes on each node
  std::vector<std::string> wrap;  // words before the program
  std::string program;
};

// In place of the wrapped program, a COMMAND that shows where a job's
// processes run.
using Command = std::vector<std::string>;

// The launch line of a job on HOSTS inside a Slurm allocation, VIA srun or
// the MPI's launcher.
std::vector<std::string> allocation_line(const LaunchSettings& settings, Via via,
                                         const std::vector<std::string>& hosts,
                                         const Command& command = {});

// The MPI's launcher over HOSTFILE, which holds hostfile_text of HOSTS hosts.
std::vector<std::string> hostfile_line(const LaunchSettings& settings, const std::string& hostfile,
                                       size_t hosts, const Command& command = {});
std::string hostfile_text(const LaunchSettings& settings, const std::vector<std::string>& hosts);

// Whether OUTPUT, a host name a line from each process of a job on NODES
// nodes, shows PER_NODE processes on each of NODES hosts: empty when it
// does, else what it shows ("4 processes on a").
std::string misplaced(const std::string& output, size_t nodes, int per_node);

// The nodes of a sweep and how a job starts on some of them.
class Launcher {
 public:
  struct Options {
    std::string hostfile;
    std::string rsh;
    std::string pmi;
    std::string launch;  // srun or mpiexec in an allocation; empty: the build's
    std::string wrap;
    int per_node = 2;
  };
  Launcher(const Options& options, const std::filesystem::path& here);
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;
  ~Launcher();

  const std::vector<std::string>& nodes() const { return nodes_; }
  // How jobs start, for the announcement.
  std::string description() const;
  std::string mpi() const;
  Via via() const { return via_; }
  // VIA's name in an allocation; with a hostfile there is one way, unnamed.
  std::string way(Via via) const { return allocation_ ? via_name(via) : ""; }
  int per_node() const { return settings_.per_node; }
  // Whether an allocation offers the other way too, to tell a launcher's
  // hang from a node's or a link's fault.
  bool has_other() const { return has_other_; }
  // Whether jobs start the way measured reliable for the build's MPI (its
  // default in an allocation), or over a hostfile.
  bool reliable() const { return reliable_; }

  // The launch line of the Ith job of the sweep, on NODES (indices), VIA the
  // given way in an allocation.
  std::vector<std::string> line(const std::vector<int>& nodes, size_t index, Via via,
                                const Command& command = {}) const;

 private:
  void slurm(const Options& options);
  void hostfile(const Options& options);

  LaunchSettings settings_;
  bool allocation_ = false;
  Via via_ = Via::kSrun;
  bool has_other_ = false;
  bool reliable_ = true;
  std::vector<std::string> nodes_;
  std::string wrap_text_;
  std::filesystem::path work_;
};

#endif
