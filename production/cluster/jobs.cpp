// The jobs of a batch on a cluster: a task analyses its files, the
// collecting job records them.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "production/batch_dir.hpp"
#include "production/cluster.hpp"
#include "production/recorder.hpp"
#include "production/runner.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

void say(const ByteSink& sink, const std::string& text) { sink(text); }

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string hostName() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// What a job works on: the batch's plan and its submission.
struct Job {
  StoredPlan plan;
  Submission submission;
};

std::optional<Job> readJob(const BatchDir& dir, int submission, std::string& error) {
  std::optional<StoredPlan> plan = dir.readPlan(error);
  if (!plan) return std::nullopt;
  std::optional<Submission> s = dir.readSubmission(submission, plan->files.size(), error);
  if (!s) return std::nullopt;
  return Job{std::move(*plan), std::move(*s)};
}

}  // namespace

CommandOutcome runTask(const std::string& batchDir, int submission, std::optional<std::size_t> task,
                       const Printer& print) {
  CommandOutcome outcome;
  ChildProcesses processes;
  std::string error;
  const BatchDir dir(batchDir);
  const std::optional<Job> job = readJob(dir, submission, error);
  if (!job) return failure(print, error);
  const StoredPlan* plan = &job->plan;
  const Submission* s = &job->submission;
  if (!task) {
    const std::string index = environment("SLURM_ARRAY_TASK_ID");
    if (index.empty() || index.size() > 9 || index.find_first_not_of("0123456789") != std::string::npos)
      return failure(print, "no task given, and SLURM_ARRAY_TASK_ID is '" + index + "'");
    task = std::stoul(index);
  }
  if (*task >= s->tasks())
    return failure(print, "submission " + std::to_string(submission) + " of batch " + plan->name + " has " +
                              plural(s->tasks(), "task", "tasks") + ", not " + std::to_string(*task + 1));

  // A task run again (requeued) does not analyse again what it reported.
  const std::map<std::size_t, ExitRecord> reported = dir.exits();
  std::vector<std::size_t> files;
  for (const std::size_t f : s->taskFiles(*task))
    if (!(reported.contains(f) && reported.at(f).submission == submission)) files.push_back(f);
  std::vector<ChildCommand> children;
  for (const std::size_t f : files) {
    std::error_code made;
    fs::create_directories(plan->files[f].outputDir, made);
    children.push_back(calibChild(plan->calibExe, plan->files[f]));
  }
  const std::string taskName = environment("SLURM_ARRAY_JOB_ID").empty()
                                   ? std::to_string(*task)
                                   : environment("SLURM_ARRAY_JOB_ID") + "_" + std::to_string(*task);
  const RunnerOutcome ran = runChildren(
      processes, children, 1,
      [&](std::size_t i, const ChildExit& exit, const std::string& startError) {
        const PlannedFile& file = plan->files[files[i]];
        ExitRecord record{submission, exit, startError, taskName, hostName()};
        say(print.out, file.file.path + ": " + (startError.empty() ? describeExit(exit) : startError) + "\n");
        if (!dir.writeExit(files[i], record, error)) {
          say(print.err, "calib-batch: " + error + "\n");
          outcome.failed = true;
        }
        return true;
      },
      nullptr);
  outcome.terminationSignal = ran.terminationSignal;
  return outcome;
}

CommandOutcome collectSubmission(const std::string& batchDir, int submission, const Printer& print) {
  CommandOutcome outcome;
  ChildProcesses processes;  // for the termination signals
  std::string error;
  const BatchDir dir(batchDir);
  const std::optional<Job> job = readJob(dir, submission, error);
  if (!job) return failure(print, error);
  const StoredPlan* plan = &job->plan;
  const Submission* s = &job->submission;
  const std::optional<Criteria> criteria = parseCriteria(plan->criteriaText, plan->criteriaSource, error);
  if (!criteria) return failure(print, error);

  Collected collected;
  const auto stop = [&](const std::string& why) {
    collected.failed = true;
    collected.error = why + "; 'calib-batch collect " + dir.path() + " " + std::to_string(submission) +
                      "' records the submission again";
    std::string ignored;
    dir.writeCollected(submission, collected, ignored);
    return failure(print, collected.error);
  };
  const std::unique_ptr<Store> store = Store::open(plan->dbUrl, error);
  if (!store) return stop(error);
  const std::optional<std::int64_t> criteriaId = store->criteriaId(*criteria, error);
  if (!criteriaId) return stop(error);

  // The files of the submission, but those a later one analysed again
  // (when this one is recorded by hand after a resubmission).
  const std::map<std::size_t, ExitRecord> exits = dir.exits();
  std::vector<std::size_t> indices;  // positions in the submission
  std::vector<PlannedFile> files;
  for (std::size_t i = 0; i < s->files.size(); ++i) {
    const auto it = exits.find(s->files[i]);
    if (it != exits.end() && it->second.submission > submission) continue;
    indices.push_back(i);
    files.push_back(plan->files[s->files[i]]);
  }
  std::size_t missing = 0;
  Recorder recorder(*store, *criteria, *criteriaId, plan->version, plan->force, files, print.err);
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (const int signal = processes.takeTermination()) {
      outcome.terminationSignal = signal;
      return outcome;
    }
    const std::size_t i = indices[k];
    const auto it = exits.find(s->files[i]);
    const bool reported = it != exits.end() && it->second.submission == submission;
    if (!reported) ++missing;
    const std::string startError =
        reported ? it->second.startError
                 : "its task (array job " + s->arrayJob + ", task " + std::to_string(i / s->filesPerTask) +
                       ") ended without reporting it: the node was lost, or the task was cancelled or ran out of "
                       "time; 'calib-batch submit --resume " +
                       plan->name + "' analyses it again";
    if (!recorder.finished(k, reported ? it->second.exit : ChildExit{}, startError))
      return stop("recording stopped at '" + files[recorder.recorded()].file.path + "'");
  }
  say(print.out, recorder.table());
  collected.summary = plural(files.size(), "file", "files") + ": " + recorder.analysedText() + ", " +
                      std::to_string(recorder.alreadyRecorded()) + " already recorded" +
                      (missing ? ", " + std::to_string(missing) + " never reported" : "");
  say(print.out, collected.summary + "\n");
  for (const auto& [k, verdict] : recorder.outcomes()) collected.verdicts[s->files[indices[k]]] = verdict;
  collected.failed = recorder.count(Verdict::Error) > 0;
  outcome.failed = collected.failed;
  if (!dir.writeCollected(submission, collected, error)) return failure(print, error);
  return outcome;
}

}  // namespace calib::production
