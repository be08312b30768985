#include "sweep_run.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <utility>

#include "check.h"
#include "messages.h"

namespace {

constexpr size_t kEvidenceLines = 10;
constexpr size_t kEvidenceWidth = 200;
constexpr int kTenths = 10;

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

// A fault of the MPI's own, seen here on healthy test hosts now and then, in
// a job that then passed by itself: what it was, or an empty string.
std::string mpi_own(const std::string& kind, const Outcome& first) {
  // Open MPI 4.1's mpiexec, started beside another on the same host.
  if (session_dir_raced(first.evidence)) {
    return "its launcher could not make its session directory";
  }
  // Open MPI 4.1 and 5.0, ten processes on five test hosts: with every node
  // and pair passing, no node or link is to blame.
  if (kind == "whole" && first.verdict == Verdict::kNoEnd &&
      first.cause.find("; no-reduction: ") != std::string::npos) {
    return "it hung in the reduction with every rank's line written";
  }
  return "";
}

std::string seconds_text(double seconds) {
  const long tenths = std::lround(seconds * kTenths);
  return std::to_string(tenths / kTenths) + "." + std::to_string(tenths % kTenths);
}

// KEPT's verdict and evidence become LATEST's, with CAUSE.
void conclude(Outcome& kept, const Outcome& latest, std::string cause) {
  kept.verdict = latest.verdict;
  kept.cause = std::move(cause);
  kept.evidence = latest.evidence;
}

// A job's run in its wave, after those of earlier rounds.
void settle(Outcome& kept, Outcome latest, std::string way) {
  Run run{latest.verdict, latest.seconds, latest.cause, std::move(way)};
  latest.runs = std::move(kept.runs);
  latest.seconds = kept.seconds;
  if (latest.cause.empty()) {
    latest.cause = kept.cause;  // an earlier round's note
  }
  kept = std::move(latest);
  add_run(kept, std::move(run));
}

}  // namespace

Outcome outcome_of(const JobRun& run, int count, int seconds) {
  Outcome outcome;
  outcome.seconds = run.seconds;
  outcome.verdict = Verdict::kFail;
  if (!run.started) {
    outcome.cause = run.failure;
    return outcome;
  }
  if (run.stopped_after_output) {
    outcome.verdict = Verdict::kPass;
    outcome.seconds = run.complete_seconds;
    outcome.cause = "right output, then no end: stopped after " +
                    std::to_string(kSecondsAfterOutput) + " s (the MPI hung in its shutdown)";
    return outcome;
  }
  const Judgement judgement = judge(run.output, count, run.errors, &run, seconds);
  if (judgement.right) {
    outcome.verdict = Verdict::kPass;
    if (run.complete_seconds > 0) {
      outcome.seconds = run.complete_seconds;
    }
    return outcome;
  }
  outcome.evidence = evidence(run);
  outcome.cause = output_right(run.output, count) ? "right output, but " + run.failure
                                                  : short_causes(judgement);
  if (run.stopped) {
    outcome.verdict = Verdict::kNoEnd;
    outcome.cause = "no end within " + std::to_string(seconds) + " s; " + outcome.cause;
  }
  return outcome;
}

Sweeper::Sweeper(const Launcher& launcher, const Plan& plan,
                 std::function<void(const std::string&)> say)
    : launcher_(launcher),
      per_node_(launcher.per_node()),
      deadline_(plan.deadline),
      repeat_(plan.repeat),
      rules_(plan.rules),
      say_(std::move(say)),
      other_(launcher.has_other()) {}

std::string Sweeper::names(const std::vector<int>& nodes) const {
  std::string text;
  for (const int node : nodes) {
    text += (text.empty() ? "" : ",") + launcher_.nodes()[node];
  }
  return nodes.size() > 2 ? "on all " + std::to_string(nodes.size()) + " nodes" : text;
}

Job Sweeper::job_on(const std::vector<int>& nodes, Via via, const Command& command) {
  Job job;
  job.command = launcher_.line(nodes, started_++, via, command);
  if (command.empty()) {
    const int count = per_node_ * static_cast<int>(nodes.size());
    job.complete = [count](std::string_view output) { return output_right(output, count); };
  }
  return job;
}

JobRun Sweeper::launch(const std::vector<int>& nodes, Via via, const Command& command) {
  std::vector<Job> job = {job_on(nodes, via, command)};
  run_jobs(job, deadline_);
  return job[0].run;
}

std::string Sweeper::check_placement() {
  const std::vector<int> nodes =
      launcher_.nodes().size() > 1 ? std::vector<int>{0, 1} : std::vector<int>{0};
  const Via ways[] = {launcher_.via(), other_way(launcher_.via())};
  for (const Via via : ways) {
    if (via != launcher_.via() && !other_) {
      break;
    }
    // Unwrapped: where the processes run is the launcher's doing alone.
    const JobRun run = launch(nodes, via, {"uname", "-n"});
    const std::string where = names(nodes);
    if (!run.failure.empty() || !run.started) {
      say_("placement on " + where + " not shown: the launch of uname -n failed (" + run.failure +
           ")");
      continue;
    }
    const std::string wrong = misplaced(run.output, nodes.size(), per_node_);
    const std::string asked = std::to_string(per_node_) + " process(es) on each of " + where;
    const std::string way = launcher_.has_other() ? std::string(via_name(via)) + " " : "";
    if (wrong.empty()) {
      say_(std::string("placement: ").append(way).append("puts ").append(asked));
    } else if (via == launcher_.via()) {
      return std::string("asked for ").append(asked).append(", the launch put ").append(wrong);
    } else {
      say_(std::string("placement: ")
               .append(via_name(via))
               .append(" put ")
               .append(wrong)
               .append(", not ")
               .append(asked)
               .append(": jobs that hang are not tried that way"));
      other_ = false;
    }
  }
  return "";
}

Outcome Sweeper::once(const Planned& job, Via via) {
  const int count = per_node_ * static_cast<int>(job.nodes.size());
  const JobRun run = launch(job.nodes, via, {});
  wrote_ = wrote_ || !run.output.empty();
  Outcome outcome = outcome_of(run, count, deadline_);
  add_run(*job.outcome, {outcome.verdict, outcome.seconds, outcome.cause, launcher_.way(via)});
  return outcome;
}

void Sweeper::side_by_side(const std::string& title, const std::vector<Planned>& jobs) {
  std::vector<Job> running;
  running.reserve(jobs.size());
  for (const Planned& job : jobs) {
    running.push_back(job_on(job.nodes, launcher_.via(), {}));
  }
  const auto began = std::chrono::steady_clock::now();
  run_jobs(running, deadline_);
  if (interrupted() != 0) {
    return;
  }
  jobs_ += jobs.size();
  int passed = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const int count = per_node_ * static_cast<int>(jobs[i].nodes.size());
    wrote_ = wrote_ || !running[i].run.output.empty();
    Outcome& outcome = *jobs[i].outcome;
    settle(outcome, outcome_of(running[i].run, count, deadline_), launcher_.way(launcher_.via()));
    passed += outcome.verdict == Verdict::kPass ? 1 : 0;
    if (failed(outcome.verdict)) {
      say_(jobs[i].kind + " " + names(jobs[i].nodes) + ": FAIL, " + seconds_text(outcome.seconds) +
           " s: " + outcome.cause);
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  say_(title + ": " + std::to_string(passed) + " of " + std::to_string(jobs.size()) + " passed, " +
       seconds_text(took.count()) + " s");
  again(jobs);
}

void Sweeper::again(const std::vector<Planned>& jobs) {
  for (const Planned& job : jobs) {
    if (failed(job.outcome->verdict) && interrupted() == 0) {
      const std::string how = rerun(job);
      const Outcome& kept = *job.outcome;
      say_(job.kind + " " + names(job.nodes) + " " + how +
           (failed(kept.verdict) ? "FAIL" : "pass") + ", " +
           seconds_text(kept.runs.back().seconds) + " s");
    }
  }
}

std::string Sweeper::rerun(const Planned& job) {
  Outcome& kept = *job.outcome;
  const Via way = launcher_.via();
  const Via other = other_way(way);
  Outcome first;
  first.verdict = kept.verdict;
  first.cause = kept.cause;
  first.evidence = kept.evidence;
  const size_t first_run = kept.runs.size() - 1;
  // A bad link or node fails every time; launchers now and then hang on
  // any nodes. The job runs by itself, so that nothing beside it is to blame.
  const Outcome second = once(job, way);
  if (!failed(second.verdict)) {
    const std::string own = mpi_own(job.kind, first);
    const std::string note = second.cause.empty() ? "" : "; " + second.cause;
    // The way not measured reliable hangs or fails in start-up now and then
    // on any nodes (Open MPI under srun): such a failure is the launcher's.
    if (!launcher_.reliable()) {
      ++hung_once_;
      kept.runs[first_run].excused = true;
      conclude(kept, second,
               std::string("failed once under ") + via_name(way) + " (" + first.cause +
                   "), then passed by itself" + note);
      return "runs again by itself: ";
    }
    if (own.empty()) {
      conclude(kept, second, "failed once (" + first.cause + "), then passed by itself" + note);
      return "runs again by itself: ";
    }
    kept.runs[first_run].excused = true;
    mpi_own_.push_back(names(job.nodes) + ": " + own);
    conclude(kept, second,
             "failed once in the MPI itself (" + own + ": " + first.cause +
                 "), then passed by itself" + note);
    return "runs again by itself, as its first run failed in the MPI itself (" + own + "): ";
  }
  if (second.verdict != Verdict::kNoEnd || first.verdict != Verdict::kNoEnd || !other_ ||
      interrupted() != 0) {
    conclude(kept, second, "failed twice: " + second.cause);
    return "runs again by itself: ";
  }
  const Outcome third = once(job, other);
  if (failed(third.verdict)) {
    conclude(
        kept, third,
        "failed twice (" + second.cause + "), and under " + via_name(other) + ": " + third.cause);
    return std::string("runs again by itself, then under ") + via_name(other) + ": ";
  }
  hung_one_way_.insert(&kept);
  kept.runs[first_run].excused = true;
  kept.runs[first_run + 1].excused = true;
  conclude(kept, third,
           std::string("hung twice under ") + via_name(way) + " (" + second.cause +
               "), then passed under " + via_name(other) +
               (third.cause.empty() ? "" : "; " + third.cause));
  return std::string("runs under ") + via_name(other) + ": ";
}

void Sweeper::run_waves(Sweep& sweep, int round) {
  Matrix& matrix = sweep.matrix;
  const std::string rounds =
      repeat_ > 1 ? "round " + std::to_string(round) + " of " + std::to_string(repeat_) + ", " : "";
  for (size_t wave = 0; wave < sweep.waves.size() && interrupted() == 0; ++wave) {
    std::vector<Planned> jobs;
    for (const Pair& pair : sweep.waves[wave]) {
      Outcome& outcome = matrix.pair(pair.first, pair.second);
      // A pair with a node that fails by itself could only fail.
      for (const int node : {pair.first, pair.second}) {
        if (outcome.verdict == Verdict::kNotRun && failed(matrix.alone(node).verdict)) {
          outcome.cause = "not run: " + sweep.names[node] + " fails by itself";
        }
      }
      // A pair that failed already is not run in later rounds.
      if (outcome.verdict == Verdict::kPass ||
          (outcome.verdict == Verdict::kNotRun && outcome.cause.empty())) {
        jobs.push_back({"pair", {pair.first, pair.second}, &outcome});
      }
    }
    if (!jobs.empty()) {
      side_by_side(rounds + "wave " + std::to_string(wave + 1) + " of " +
                       std::to_string(sweep.waves.size()) + ", pairs",
                   jobs);
    }
  }
}

void Sweeper::retest_slow(Sweep& sweep) {
  // Beside other jobs a pair may only have waited for the machine, and
  // Open MPI's jobs on test hosts now and then take 2 s more by themselves:
  // a slow link is slow every time.
  constexpr int kRetests = 2;
  std::vector<Pair> looks_slow;
  slow(sweep.matrix, sweep.names, rules_, &looks_slow);
  for (const Pair& pair : looks_slow) {
    Outcome& outcome = sweep.matrix.pair(pair.first, pair.second);
    std::string said = "pair " + names({pair.first, pair.second}) + " took " +
                       seconds_text(outcome.seconds) +
                       " s, more than its nodes' other pairs; by itself:";
    bool lossy = false;
    for (int retest = 0; retest < kRetests && interrupted() == 0; ++retest) {
      const Outcome alone = once({"pair", {pair.first, pair.second}, &outcome}, launcher_.via());
      if (failed(alone.verdict) && launcher_.reliable() && hung_one_way_.erase(&outcome) != 0) {
        // It hangs again the way measured reliable, having passed only
        // slowly the other way: its hangs were a lossy link's, not the launcher's.
        lossy = true;
        for (Run& run : outcome.runs) {
          run.excused = false;
        }
      }
      // The job passed its own run: a loaded machine's hang here is said, not held against it.
      outcome.runs.back().excused = failed(alone.verdict) && !lossy;
      said += failed(alone.verdict) ? " FAIL (" + alone.cause + ")"
                                    : " " + seconds_text(alone.seconds) + " s";
    }
    say_(said);
  }
}

void Sweeper::run_whole(Sweep& sweep) {
  Matrix& matrix = sweep.matrix;
  if (matrix.count() == 1) {
    matrix.whole().cause = "not run: the same job as the node by itself";
    return;
  }
  // What the whole job meets that its pairs do not is its own: nothing, once
  // a node or link is named.
  if (!blame(matrix, sweep.names).empty() || !slow(matrix, sweep.names, rules_).empty() ||
      !flaky(matrix, sweep.names).empty()) {
    matrix.whole().cause = "not run: the suspects are named already";
    return;
  }
  std::vector<int> everyone(matrix.count());
  for (int node = 0; node < matrix.count(); ++node) {
    everyone[node] = node;
  }
  side_by_side("the whole job", {{"whole", everyone, &matrix.whole()}});
}

void Sweeper::run(Sweep& sweep) {
  std::vector<Planned> alone;
  alone.reserve(sweep.names.size());
  for (int node = 0; node < sweep.matrix.count(); ++node) {
    alone.push_back({"alone", {node}, &sweep.matrix.alone(node)});
  }
  side_by_side("nodes by themselves", alone);
  for (int round = 1; round <= repeat_; ++round) {
    run_waves(sweep, round);
  }
  if (interrupted() == 0) {
    retest_slow(sweep);
  }
  if (interrupted() == 0) {
    run_whole(sweep);
  }
}

std::vector<std::string> Sweeper::notes() const {
  std::vector<std::string> lines;
  const Via way = launcher_.via();
  if (!hung_one_way_.empty()) {
    lines.push_back(std::string("launcher: ") + via_name(way) + " hung in start-up in " +
                    std::to_string(hung_one_way_.size()) + " of " + std::to_string(jobs_) +
                    " jobs; each passed under " + via_name(other_way(way)));
  }
  if (hung_once_ != 0) {
    lines.push_back(std::string("launcher: ") + via_name(way) + " hung or failed in " +
                    std::to_string(hung_once_) + " of " + std::to_string(jobs_) +
                    " jobs, each of which passed by itself; it is not the way " + launcher_.mpi() +
                    " starts reliably here");
  }
  if (!mpi_own_.empty()) {
    std::string jobs;
    for (const std::string& job : mpi_own_) {
      jobs += (jobs.empty() ? "" : "; ") + job;
    }
    lines.push_back("mpi: " + launcher_.mpi() + " failed in itself in " +
                    std::to_string(mpi_own_.size()) + " of " + std::to_string(jobs_) +
                    " jobs, each of which passed by itself: " + jobs);
  }
  return lines;
}
