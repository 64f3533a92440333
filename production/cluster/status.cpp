// status and wait: a batch on a cluster followed from its directory (what
// the tasks reported, what was recorded) and from the queue.
#include <chrono>
#include <map>

#include "production/batch_dir.hpp"
#include "production/cluster.hpp"
#include "production/recorder.hpp"
#include "production/slurm.hpp"
#include "support/progress.hpp"

namespace calib::production {

namespace {

// How often wait looks.
constexpr double kPollSeconds = 2;

void say(const ByteSink& sink, const std::string& text) { sink(text); }

enum class TaskState { Pending, Running, Done, Failed, Unknown };

// A submission as the queue and the batch directory show it.
struct SubmissionState {
  std::map<TaskState, std::size_t> tasks;
  std::string collect;  // "pending", "running", "done: …", "failed: …", "ended without recording …"
  bool collectEnded = false;
  std::optional<Collected> collected;
};

// What the batch directory and the queue say of every submission.
struct BatchState {
  StoredPlan plan;
  std::vector<Submission> submissions;
  std::vector<SubmissionState> states;
  std::map<std::size_t, ExitRecord> exits;
  std::string schedulerError;  // the queue could not be asked
  int terminationSignal = 0;

  bool complete() const {
    for (const SubmissionState& s : states)
      if (!s.collectEnded) return false;
    return true;
  }
  // The latest outcome of each file recorded.
  std::map<std::size_t, std::string> outcomes() const {
    std::map<std::size_t, std::string> latest;
    for (const SubmissionState& s : states)
      if (s.collected)
        for (const auto& [file, verdict] : s.collected->verdicts) latest[file] = verdict;
    return latest;
  }
};

// withTasks: also every task's state and every file's exit; without, only
// whether each submission is recorded (cheap enough to ask every few
// seconds of a batch of thousands of files).
std::optional<BatchState> readState(const BatchDir& dir, Slurm& slurm, std::string& error, bool withTasks = true) {
  BatchState state;
  std::optional<StoredPlan> plan = dir.readPlan(error);
  if (!plan) return std::nullopt;
  state.plan = std::move(*plan);
  std::optional<std::vector<Submission>> submissions = dir.submissions(state.plan.files.size(), error);
  if (!submissions) return std::nullopt;
  state.submissions = std::move(*submissions);
  // The queue first, then the files: a job that ends in between is seen
  // with what it wrote, never as gone without it.
  std::vector<std::optional<std::map<std::size_t, std::string>>> queuedTasks(state.submissions.size());
  std::vector<std::optional<std::string>> collectStates(state.submissions.size());
  for (std::size_t i = 0; i < state.submissions.size(); ++i) {
    const Submission& s = state.submissions[i];
    if (s.files.empty() || dir.readCollected(s.number) || !state.schedulerError.empty()) continue;
    std::string why;
    queuedTasks[i] = withTasks ? slurm.queuedTasks(s.arrayJob, why) : std::map<std::size_t, std::string>();
    if (queuedTasks[i]) collectStates[i] = slurm.queuedState(s.collectJob, why);
    if (slurm.terminationSignal()) {
      state.terminationSignal = slurm.terminationSignal();
      return state;
    }
    if (!queuedTasks[i] || !collectStates[i]) state.schedulerError = why;
  }
  if (withTasks) state.exits = dir.exits();
  for (std::size_t i = 0; i < state.submissions.size(); ++i) {
    const Submission& s = state.submissions[i];
    SubmissionState st;
    st.collected = dir.readCollected(s.number);
    std::optional<std::map<std::size_t, std::string>>& queued = queuedTasks[i];
    const std::optional<std::string>& collectState = collectStates[i];
    // Recorded: every task has ended (the recording job waits for them all).
    if (st.collected) queued.emplace();
    for (std::size_t t = 0; withTasks && t < s.tasks(); ++t) {
      TaskState task = TaskState::Unknown;
      if (queued && queued->contains(t)) {
        task = queued->at(t) == "PENDING" ? TaskState::Pending : TaskState::Running;
      } else {
        bool reported = true;
        for (const std::size_t f : s.taskFiles(t)) {
          const auto it = state.exits.find(f);
          reported = reported && it != state.exits.end() && it->second.submission == s.number;
        }
        if (reported) {
          task = TaskState::Done;
        } else if (queued) {
          task = TaskState::Failed;
        }
      }
      ++st.tasks[task];
    }
    if (st.collected) {
      st.collectEnded = true;
      st.collect = st.collected->error.empty() ? "done: " + st.collected->summary : "failed: " + st.collected->error;
    } else if (s.files.empty()) {
      st.collectEnded = true;
      st.collect = "nothing to record";
    } else if (!collectState) {
      st.collect = "not known";
    } else if (collectState->empty()) {
      st.collectEnded = true;
      st.collect = "ended without recording (see " + dir.logs() + "/collect-" + std::to_string(s.number) +
                   ".out; 'calib-batch collect " + dir.path() + " " + std::to_string(s.number) + "' records them)";
    } else {
      st.collect = *collectState == "PENDING" ? "pending" : "running";
    }
    state.states.push_back(std::move(st));
  }
  return state;
}

std::string count(const std::map<TaskState, std::size_t>& tasks, TaskState state) {
  const auto it = tasks.find(state);
  return std::to_string(it == tasks.end() ? 0 : it->second);
}

// Files by how their calib ended, and by their latest verdict.
std::string filesLine(const BatchState& state) {
  std::size_t analysed = 0, failed = 0;
  for (const auto& [file, record] : state.exits) {
    if (file >= state.plan.files.size()) continue;
    (record.startError.empty() && record.exit.exitStatus == 0 ? analysed : failed) += 1;
  }
  const std::size_t total = state.plan.files.size();
  return "files: " + std::to_string(total) + ": " + std::to_string(analysed) + " analysed, " + std::to_string(failed) +
         " calib failed, " + std::to_string(total - analysed - failed) + " not reported";
}

std::string recordedLine(const BatchState& state) {
  std::map<std::string, std::size_t> by;
  for (const auto& [file, verdict] : state.outcomes()) ++by[verdict];
  const std::size_t recorded = state.outcomes().size();
  return "recorded: " + std::to_string(by["pass"]) + " pass, " + std::to_string(by["fail"]) + " fail, " +
         std::to_string(by["error"]) + " error, " + std::to_string(by[kRecordedAlready]) + " recorded already, " +
         std::to_string(state.plan.files.size() - recorded) + " not recorded";
}

void printState(const BatchDir& dir, const BatchState& state, const Printer& print) {
  say(print.out, "batch " + dir.name() + ": " + dir.path() + "\n");
  say(print.out, filesLine(state) + "\n");
  say(print.out, recordedLine(state) + "\n");
  for (std::size_t i = 0; i < state.submissions.size(); ++i) {
    const Submission& s = state.submissions[i];
    const SubmissionState& st = state.states[i];
    std::string line = "submission " + std::to_string(s.number) + ": " + plural(s.files.size(), "file", "files");
    if (!s.files.empty()) {
      line += ", array job " + s.arrayJob + ": " + plural(s.tasks(), "task", "tasks") + ": " +
              count(st.tasks, TaskState::Pending) + " pending, " + count(st.tasks, TaskState::Running) + " running, " +
              count(st.tasks, TaskState::Done) + " done, " + count(st.tasks, TaskState::Failed) + " failed";
      if (st.tasks.contains(TaskState::Unknown)) line += ", " + count(st.tasks, TaskState::Unknown) + " not known";
      line += "; collect job " + s.collectJob;
    }
    say(print.out, line + ": " + st.collect + "\n");
  }
  if (!state.schedulerError.empty())
    say(print.err, "calib-batch: the queue could not be asked: " + state.schedulerError + "\n");
}

}  // namespace

CommandOutcome batchStatus(const std::string& batch, const std::string& outDir, const Printer& print) {
  ChildProcesses processes;
  Slurm slurm(processes);
  std::string error;
  const std::optional<BatchDir> dir = BatchDir::find(batch, outDir, error);
  if (!dir) return failure(print, error);
  const std::optional<BatchState> state = readState(*dir, slurm, error);
  if (!state) return failure(print, error);
  if (state->terminationSignal) return CommandOutcome{true, state->terminationSignal};
  printState(*dir, *state, print);
  return CommandOutcome{!state->schedulerError.empty(), 0};
}

CommandOutcome waitBatch(const std::string& batch, const std::string& outDir, double timeoutSeconds,
                         const Printer& print) {
  ChildProcesses processes;
  Slurm slurm(processes);
  std::string error;
  const std::optional<BatchDir> dir = BatchDir::find(batch, outDir, error);
  if (!dir) return failure(print, error);
  const auto start = std::chrono::steady_clock::now();
  std::optional<ProgressMeter> progress;
  std::string lastSchedulerError;
  for (;;) {
    std::optional<BatchState> state = readState(*dir, slurm, error, false);
    if (!state) return failure(print, error);
    if (state->terminationSignal) return CommandOutcome{true, state->terminationSignal};
    if (!state->schedulerError.empty() && state->schedulerError != lastSchedulerError)
      say(print.err, "calib-batch: the queue could not be asked (asking again): " + state->schedulerError + "\n");
    lastSchedulerError = state->schedulerError;
    const std::size_t total = state->plan.files.size();
    if (print.progress && !progress && total > 0)
      progress.emplace(total, print.err, steadySeconds, [](std::uint64_t done, std::uint64_t all, double t) {
        return ProgressMeter::formatCountLine("calib-batch", "files reported", done, all, t);
      });
    if (progress) progress->update(std::min(dir->reportedCount(), total));
    if (state->complete()) {
      if (progress) progress->finish();
      state = readState(*dir, slurm, error);
      if (!state) return failure(print, error);
      if (state->terminationSignal) return CommandOutcome{true, state->terminationSignal};
      printState(*dir, *state, print);
      const std::map<std::size_t, std::string> outcomes = state->outcomes();
      bool failed = outcomes.size() < total;
      for (const auto& [file, verdict] : outcomes) failed = failed || verdict == "error";
      for (const SubmissionState& s : state->states) failed = failed || (s.collected && !s.collected->error.empty());
      std::size_t reported = 0;
      for (const auto& [file, record] : state->exits) reported += file < total ? 1 : 0;
      if (reported < total)
        say(print.out, "not every file was analysed: 'calib-batch submit --resume " + dir->name() +
                           "' submits those no task reported\n");
      return CommandOutcome{failed, 0};
    }
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (timeoutSeconds > 0 && waited >= timeoutSeconds) {
      if (progress) progress->finish();
      return failure(
          print, "batch " + dir->name() + " is not complete after " + std::to_string(static_cast<long>(waited)) + " s");
    }
    if (const int signal = processes.wait(kPollSeconds).terminationSignal) {
      if (progress) progress->finish();
      return CommandOutcome{true, signal};
    }
  }
}

}  // namespace calib::production
