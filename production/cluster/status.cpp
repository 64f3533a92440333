// status and wait: a batch on a cluster followed from its directory (what
// the tasks reported, what was recorded) and from the queue.
#include <chrono>
#include <map>

#include "production/batch/recorder.hpp"
#include "production/cluster/batch_dir.hpp"
#include "production/cluster/cluster.hpp"
#include "production/cluster/slurm.hpp"
#include "support/progress.hpp"

namespace calib::production {

namespace {

// How often wait looks.
constexpr double kPollSeconds = 2;

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

// What the queue says of each submission not recorded yet: its tasks
// still queued and its collecting job's state, by submission (none where
// it was not asked or could not answer; then schedulerError says why).
struct QueueView {
  std::vector<std::optional<std::map<std::size_t, std::string>>> tasks;
  std::vector<std::optional<std::string>> collect;
};

Result<QueueView> askQueue(const BatchDir& dir, Slurm& slurm, BatchState& state, bool withTasks) {
  using Tasks = std::map<std::size_t, std::string>;
  QueueView view{std::vector<std::optional<Tasks>>(state.submissions.size()),
                 std::vector<std::optional<std::string>>(state.submissions.size())};
  for (std::size_t i = 0; i < state.submissions.size(); ++i) {
    const Submission& s = state.submissions[i];
    if (s.files.empty() || dir.readCollected(s.number) || !state.schedulerError.empty()) continue;
    const Result<Tasks> tasks = withTasks ? slurm.queuedTasks(s.arrayJob) : Result<Tasks>(Tasks());
    const Result<std::string> collect = tasks ? slurm.queuedState(s.collectJob) : Result<std::string>(tasks.error());
    if (tasks) view.tasks[i] = *tasks;
    if (collect) {
      view.collect[i] = *collect;
    } else if (collect.error().stopped()) {
      return collect.error();
    } else {
      state.schedulerError = collect.error().message;
    }
  }
  return view;
}

// A task's state: in the queue, or ended with every file reported, or
// ended without (Failed), or not known when the queue could not be asked.
TaskState taskState(const Submission& s, std::size_t t, const std::optional<std::map<std::size_t, std::string>>& queued,
                    const std::map<std::size_t, ExitRecord>& exits) {
  if (queued && queued->contains(t)) return queued->at(t) == "PENDING" ? TaskState::Pending : TaskState::Running;
  bool reported = true;
  for (const std::size_t f : s.taskFiles(t)) {
    const auto it = exits.find(f);
    reported = reported && it != exits.end() && it->second.submission == s.number;
  }
  if (reported) return TaskState::Done;
  return queued ? TaskState::Failed : TaskState::Unknown;
}

// What became of a submission's collecting job.
void collectState(const BatchDir& dir, const Submission& s, const std::optional<std::string>& queued,
                  SubmissionState& st) {
  if (st.collected) {
    st.collectEnded = true;
    st.collect = st.collected->error.empty() ? "done: " + st.collected->summary : "failed: " + st.collected->error;
  } else if (s.files.empty()) {
    st.collectEnded = true;
    st.collect = "nothing to record";
  } else if (!queued) {
    st.collect = "not known";
  } else if (queued->empty()) {
    st.collectEnded = true;
    st.collect = "ended without recording (see " + dir.logs() + "/collect-" + std::to_string(s.number) +
                 ".out; 'calib-batch collect " + dir.path() + " " + std::to_string(s.number) + "' records them)";
  } else {
    st.collect = *queued == "PENDING" ? "pending" : "running";
  }
}

// withTasks: also every task's state and every file's exit; without, only
// whether each submission is recorded (cheap enough to ask every few
// seconds of a batch of thousands of files).
Result<BatchState> readState(const BatchDir& dir, Slurm& slurm, bool withTasks = true) {
  BatchState state;
  Result<StoredPlan> plan = dir.readPlan();
  if (!plan) return plan.error();
  state.plan = std::move(*plan);
  Result<std::vector<Submission>> submissions = dir.submissions(state.plan.files.size());
  if (!submissions) return submissions.error();
  state.submissions = std::move(*submissions);
  // The queue first, then the files: a job that ends in between is seen
  // with what it wrote, never as gone without it.
  Result<QueueView> queue = askQueue(dir, slurm, state, withTasks);
  if (!queue) return queue.error();
  if (withTasks) state.exits = dir.exits();
  for (std::size_t i = 0; i < state.submissions.size(); ++i) {
    const Submission& s = state.submissions[i];
    SubmissionState st;
    st.collected = dir.readCollected(s.number);
    // Recorded: every task has ended (the recording job waits for them all).
    if (st.collected) queue->tasks[i].emplace();
    for (std::size_t t = 0; withTasks && t < s.tasks(); ++t) ++st.tasks[taskState(s, t, queue->tasks[i], state.exits)];
    collectState(dir, s, queue->collect[i], st);
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
  print.out("batch " + dir.name() + ": " + dir.path() + "\n");
  print.out(filesLine(state) + "\n");
  print.out(recordedLine(state) + "\n");
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
    print.out(line + ": " + st.collect + "\n");
  }
  if (!state.schedulerError.empty()) print.message("the queue could not be asked: " + state.schedulerError);
}

// Whether a batch ended well: every file analysed and recorded without an
// error verdict, and every submission recorded.
bool endedWell(const BatchState& state) {
  const std::size_t total = state.plan.files.size();
  const std::map<std::size_t, std::string> outcomes = state.outcomes();
  bool well = outcomes.size() >= total;
  for (const auto& [file, verdict] : outcomes) well = well && verdict != "error";
  for (const SubmissionState& s : state.states) well = well && !(s.collected && !s.collected->error.empty());
  return well;
}

std::size_t reportedFiles(const BatchState& state) {
  std::size_t reported = 0;
  for (const auto& [file, record] : state.exits) reported += file < state.plan.files.size() ? 1 : 0;
  return reported;
}

}  // namespace

CommandOutcome batchStatus(const std::string& batch, const std::string& outDir, const Printer& print) {
  ChildProcesses processes;
  Slurm slurm(processes);
  const Result<BatchDir> dir = BatchDir::find(batch, outDir);
  if (!dir) return dir.error();
  const Result<BatchState> state = readState(*dir, slurm);
  if (!state) return state.error();
  printState(*dir, *state, print);
  return state->schedulerError.empty() ? CommandOutcome() : CommandOutcome(reported());
}

CommandOutcome waitBatch(const std::string& batch, const std::string& outDir, double timeoutSeconds,
                         const Printer& print) {
  ChildProcesses processes;
  Slurm slurm(processes);
  const Result<BatchDir> dir = BatchDir::find(batch, outDir);
  if (!dir) return dir.error();
  const auto start = std::chrono::steady_clock::now();
  std::optional<ProgressMeter> progress;
  std::string lastSchedulerError;
  for (;;) {
    Result<BatchState> state = readState(*dir, slurm, false);
    if (!state) return state.error();
    if (!state->schedulerError.empty() && state->schedulerError != lastSchedulerError)
      print.message("the queue could not be asked (asking again): " + state->schedulerError);
    lastSchedulerError = state->schedulerError;
    const std::size_t total = state->plan.files.size();
    if (print.progress && !progress && total > 0)
      progress.emplace(total, print.err, steadySeconds, [](std::uint64_t done, std::uint64_t all, double t) {
        return ProgressMeter::formatCountLine("calib-batch", "files reported", done, all, t);
      });
    if (progress) progress->update(std::min(dir->reportedCount(), total));
    if (state->complete()) {
      if (progress) progress->finish();
      state = readState(*dir, slurm);
      if (!state) return state.error();
      printState(*dir, *state, print);
      if (reportedFiles(*state) < total)
        print.out("not every file was analysed: 'calib-batch submit --resume " + dir->name() +
                  "' submits those no task reported\n");
      return endedWell(*state) ? CommandOutcome() : CommandOutcome(reported());
    }
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (timeoutSeconds > 0 && waited >= timeoutSeconds) {
      if (progress) progress->finish();
      return failed("batch " + dir->name() + " is not complete after " + std::to_string(static_cast<long>(waited)) +
                    " s");
    }
    if (const int signal = processes.wait(kPollSeconds).terminationSignal) {
      if (progress) progress->finish();
      return stoppedBy(signal);
    }
  }
}

}  // namespace calib::production
