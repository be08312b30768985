#include "messages.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace {

constexpr size_t kQuotedLength = 80;
// How far below its first line a message names its host or file: Open MPI
// puts them on lines of their own, after a blank line.
constexpr size_t kMessageLines = 12;

enum Said : std::uint8_t {
  kRootRefused,
  kMissingLibrary,
  kNoProgram,
  kRemoteShell,
  kUnreachablePeers,
  kNamespaceShm,
  kPmiMismatch,
  kSessionDir,
  kKnownError,
  kSaidKinds
};

constexpr std::string_view kMkdirFailed =
    "call to mkdir was unable to create the desired directory";

// What a failed mkdir's "Error:" says when another process made the
// directory at the same moment.
constexpr std::string_view kMkdirRaced = "File exists";
// ... and when another process removed the directory it was made in.
constexpr std::string_view kMkdirGone = "No such file or directory";

struct Message {
  Said kind;
  std::string_view text;
};

// A line holding TEXT, as each MPI, the loader and OpenSSH print it on
// Debian 12 and 13; the first that matches a line counts.
constexpr std::array<Message, 25> kMessages = {{
    {kRootRefused, "has detected an attempt to run as root"},    // Open MPI 4.1, 5.0
    {kMissingLibrary, "error while loading shared libraries"},   // glibc's loader
    {kNoProgram, "execvp error on file"},                        // MPICH's proxy
    {kNoProgram, "unable to launch the specified application"},  // Open MPI 4.1, 5.0
    {kRemoteShell, "Could not resolve hostname"},                // OpenSSH
    {kRemoteShell, "ssh: connect to host"},                      // refused, timed out
    {kRemoteShell, "Permission denied ("},                       // (publickey,password)
    {kRemoteShell, "Host key verification failed"},
    {kUnreachablePeers, "are unable to reach each other"},       // Open MPI 4.1, no BTL
    {kUnreachablePeers, "unable to complete a TCP connection"},  // Open MPI 4.1, hosts cut off
    {kUnreachablePeers, "failed to TCP connect to a peer MPI process"},  // Open MPI 4.1
    {kUnreachablePeers, "connect(fd="},                 // UCX under MPICH 4.0, refused or lost
    {kUnreachablePeers, "Destination is unreachable"},  // UCX under MPICH 4.0, no transport
    {kUnreachablePeers, "unable to connect from"},      // MPICH 4.0's proxy
    // Processes of one node in containers of their own.
    {kNamespaceShm, "open(file_name=/proc/"},  // UCX 1.13 and 1.18: a peer's /proc/PID/fd
    {kNamespaceShm, "Shared memory error"},    // UCX under MPICH 4.0
    {kNamespaceShm, "due to different user namespaces"},  // Open MPI 4.1's CMA
    // Open MPI under srun --mpi=none or pmi2.
    {kPmiMismatch, "appears to have been direct launched using \"srun\""},  // 4.1
    {kPmiMismatch, "No PMIx server was reachable"},                         // 5.0
    // Open MPI's session directory under TMPDIR: "A call to mkdir was unable to
    // create the desired directory:" (4.1; 5.0: "PMIx detected a call to mkdir
    // ..."), then "Directory: DIR" and "Error: Read-only file system" (or
    // "Permission denied", "Not a directory"; "File exists": 4.1's singletons racing).
    {kSessionDir, kMkdirFailed},
    // Its processes in a container without the launcher's TMPDIR, or under srun
    // without Slurm's TmpFS: "PMIX ERROR: ERROR in file .../gds_ds12_lock_pthread.c
    // at line 169" (4.1), "PMIX ERROR: PMIX_ERR_FILE_OPEN_FAILURE in file
    // .../gds_shmem2.c at line 1056" (5.0).
    {kSessionDir, "gds_ds12_lock_pthread.c"},
    {kSessionDir, "PMIX_ERR_FILE_OPEN_FAILURE"},
    {kKnownError, "There are not enough slots available in the system"},  // Open MPI 4.1, 5.0
    {kKnownError, "PRTE has lost communication with a remote daemon"},    // Open MPI 5.0
    {kKnownError, "ORTE_ERROR_LOG: Data unpack"},  // 4.1's launcher, a process's message lost
}};

// A name in a message: what follows PREFIX, up to the first of STOPS.
struct Marker {
  std::string_view prefix;
  std::string_view stops;
};

std::string_view after(std::string_view line, const Marker& marker) {
  const size_t found = line.find(marker.prefix);
  if (found == std::string_view::npos) {
    return {};
  }
  const std::string_view rest = line.substr(found + marker.prefix.size());
  return rest.substr(0, std::min(rest.find_first_of(marker.stops), rest.size()));
}

// The first name that one of MARKERS finds in the COUNT lines from FIRST on.
std::string_view named(const std::vector<std::string_view>& lines, size_t first, size_t count,
                       std::initializer_list<Marker> markers) {
  const size_t end = std::min(lines.size(), first + count);
  for (size_t i = first; i < end; ++i) {
    for (const Marker& marker : markers) {
      const std::string_view found = after(lines[i], marker);
      if (!found.empty()) {
        return found;
      }
    }
  }
  return {};
}

// Where processes that cannot connect run: Open MPI's "is on host:", "Local
// host:" and "connect() to", UCX's "[HOST:PID" and "dest_addr=", and both
// ends that MPICH's proxy names.
constexpr std::array<Marker, 7> kPeerMarkers = {{{"is on host: ", " "},
                                                 {"Local host: ", " "},
                                                 {"connect() to ", ":"},
                                                 {"] [", ":"},
                                                 {"dest_addr=", ":"},
                                                 {"unable to connect from \"", "\""},
                                                 {"\" to \"", "\""}}};

// Every distinct host or address a message names, as " (on HOST and HOST)".
std::string peer_hosts(const std::vector<std::string_view>& lines, size_t first) {
  std::vector<std::string_view> hosts;
  const size_t end = std::min(lines.size(), first + kMessageLines);
  for (size_t i = first; i < end; ++i) {
    for (const Marker& marker : kPeerMarkers) {
      const std::string_view host = after(lines[i], marker);
      if (!host.empty() && std::find(hosts.begin(), hosts.end(), host) == hosts.end()) {
        hosts.push_back(host);
      }
    }
  }
  std::string text;
  for (size_t i = 0; i < hosts.size(); ++i) {
    text += (i == 0 ? " (on " : " and ") + std::string(hosts[i]);
  }
  return text.empty() ? text : text + ")";
}

// Open MPI's failed mkdir from FIRST on: its help names the directory and
// the error on lines of their own; PMIx's lines, alone or before it, name
// neither. MADE is LINES' size when no line says it.
struct Mkdir {
  size_t made;
  std::string_view dir;
  std::string_view error;
};

Mkdir failed_mkdir(const std::vector<std::string_view>& lines, size_t first) {
  Mkdir mkdir{first, {}, {}};
  while (mkdir.made < lines.size() &&
         lines[mkdir.made].find(kMkdirFailed) == std::string_view::npos) {
    ++mkdir.made;
  }
  if (mkdir.made < lines.size()) {
    mkdir.dir = named(lines, mkdir.made, kMessageLines, {{"Directory: ", ""}});
    mkdir.error = named(lines, mkdir.made, kMessageLines, {{"Error: ", ""}});
    mkdir.error.remove_prefix(std::min(mkdir.error.find_first_not_of(' '), mkdir.error.size()));
  }
  return mkdir;
}

std::string on_host(std::string_view host) {
  return host.empty() ? "" : " on " + std::string(host);
}

// The cause that the message at LINES[FIRST] points to.
std::string cause_of(Said kind, const std::vector<std::string_view>& lines, size_t first) {
  const std::string said = "; it said " + quote(lines[first]);
  switch (kind) {
    case kRootRefused:
      return "root-refused: Open MPI refuses to run as root: run the job as an ordinary user, "
             "or where there is only root (a container, CI) allow it with mpiexec's "
             "--allow-run-as-root, or OMPI_ALLOW_RUN_AS_ROOT=1 and "
             "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 in the environment";
    case kMissingLibrary:
      return "missing-library: the loader could not find " +
             std::string(after(lines[first], {"shared libraries: ", ":"})) +
             ": the MPI the program was built with is not where the loader looks on that node; "
             "load the same MPI's environment on every node (module load in the job script, "
             "LD_LIBRARY_PATH), or build against the MPI the nodes have" +
             said;
    case kNoProgram:
      return "no-program: the launcher could not find or execute " +
             std::string(named(lines, first, kMessageLines,
                               {{"execvp error on file ", " "}, {"Executable: ", " "}})) +
             on_host(named(lines, first, kMessageLines, {{"@", "]"}, {"Node: ", " "}})) +
             ": give a path to the program that every node sees, to an executable file" + said;
    case kRemoteShell: {
      const std::string_view host =
          named(lines, first, 1, {{"hostname ", ":"}, {"connect to host ", " "}, {"@", ":"}});
      const std::string where = host.empty() ? "a host" : std::string(host);
      return "remote-shell: the launcher's remote shell could not reach " + where + ": try 'ssh " +
             (host.empty() ? "HOST" : where) +
             " true' from the launching node; the name must resolve there and the login need "
             "no password or question" +
             said;
    }
    case kUnreachablePeers:
      return "unreachable-peers: the processes or their launcher's daemons could not connect "
             "to each other" +
             peer_hosts(lines, first) +
             ": let the hosts reach each other over the network MPI uses (a firewall, the "
             "wrong network interface, a transport left out)" +
             said;
    case kNamespaceShm:
      return "namespace-shm: processes of one node ran in namespaces of their own (a container "
             "each) and could not share memory: share them (ch-run --join, podman's --ipc=host "
             "--pid=host), or tell the MPI not to reach its peers' memory through /proc "
             "(UCX_POSIX_USE_PROC_LINK=n for UCX, --mca btl_vader_single_copy_mechanism none "
             "for Open MPI)" +
             said;
    case kPmiMismatch:
      return "pmi-mismatch: the launcher serves a PMI that the program's MPI does not speak: "
             "start it with its own MPI's launcher, or give srun the --mpi of the MPI the "
             "program, or its image, was built with (pmix for Open MPI, pmi2 for MPICH; "
             "srun --mpi=list shows what Slurm has)" +
             said;
    case kSessionDir: {
      const Mkdir mkdir = failed_mkdir(lines, first);
      const std::string advice =
          "in a container, the processes need their launcher's session directory at the same "
          "path: bind in the launcher's TMPDIR (ch-run -b \"$TMPDIR\", podman -v "
          "\"$TMPDIR:$TMPDIR\") or, under srun, Slurm's TmpFS; or start the launcher with "
          "TMPDIR=/tmp, which ch-run binds in, and podman with -v /tmp:/tmp";
      if (mkdir.made == lines.size()) {
        return "session-dir: Open MPI's processes could not open the files their launcher keeps "
               "in its session directory: " +
               advice + said;
      }
      if (mkdir.error == kMkdirRaced) {
        // Open MPI 4.1's singletons, started together, race to make one: separate-jobs.
        return "";
      }
      return "session-dir: Open MPI could not make " + quote(mkdir.dir) + " (" +
             quote(mkdir.error) +
             ") for its session directory, which it makes under TMPDIR (/tmp when unset): give "
             "the job a TMPDIR that the user may write on every node; " +
             advice;
    }
    default:
      return "";
  }
}

// Whether LINE says anything: not blank, not a rule of dashes or '='.
bool says_something(std::string_view line) {
  return std::any_of(line.begin(), line.end(),
                     [](char byte) { return std::isalnum(static_cast<unsigned char>(byte)); });
}

}  // namespace

std::string quote(std::string_view line) {
  std::string text(line.substr(0, kQuotedLength));
  std::replace_if(
      text.begin(), text.end(), [](char byte) { return static_cast<unsigned char>(byte) < ' '; },
      '?');
  if (line.size() <= kQuotedLength) {
    return "'" + text + "'";
  }
  return "'" + text + "...' (" + std::to_string(line.size()) + " characters)";
}

SaidCauses causes_said(const std::vector<std::string_view>& lines, bool quote_any) {
  std::array<size_t, kSaidKinds> first{};
  first.fill(lines.size());
  size_t first_said = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (first_said == lines.size() && says_something(lines[i])) {
      first_said = i;
    }
    for (const Message& message : kMessages) {
      if (lines[i].find(message.text) != std::string_view::npos) {
        first[message.kind] = std::min(first[message.kind], i);
        break;
      }
    }
  }
  SaidCauses causes;
  for (int kind = 0; kind < kKnownError; ++kind) {
    std::string cause =
        first[kind] < lines.size() ? cause_of(static_cast<Said>(kind), lines, first[kind]) : "";
    if (!cause.empty()) {
      causes.specific.push_back(std::move(cause));
    }
  }
  size_t quoted = first[kKnownError];
  if (quoted == lines.size() && quote_any) {
    quoted = first_said;
  }
  if (causes.specific.empty() && quoted < lines.size()) {
    causes.launcher_error =
        "launcher-error: the launcher or MPI's start-up said " + quote(lines[quoted]);
  }
  return causes;
}

bool session_dir_raced(std::string_view text) {
  std::vector<std::string_view> lines;
  for_each_line(text, [&](std::string_view line, int) { lines.push_back(line); });
  const Mkdir mkdir = failed_mkdir(lines, 0);
  // Open MPI 4.1.4, three launchers side by side on one test host: one made
  // its pid.N in the host's top directory, ompi.HOST.UID, as another, ending,
  // removed it.
  const std::string_view dir = mkdir.dir;
  const size_t own = dir.rfind('/');
  const size_t top = own == 0 || own == std::string_view::npos ? own : dir.rfind('/', own - 1);
  return mkdir.error == kMkdirRaced ||
         (mkdir.error == kMkdirGone && top != std::string_view::npos &&
          dir.substr(own).rfind("/pid.", 0) == 0 && dir.substr(top).rfind("/ompi.", 0) == 0);
}
