// The jobs of a batch on a cluster: a task analyses its files, the
// collecting job records them.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "production/batch/recorder.hpp"
#include "production/batch/runner.hpp"
#include "production/cluster/batch_dir.hpp"
#include "production/cluster/cluster.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

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

Result<Job> readJob(const BatchDir& dir, int submission) {
  Result<StoredPlan> plan = dir.readPlan();
  if (!plan) return plan.error();
  Result<Submission> s = dir.readSubmission(submission, plan->files.size());
  if (!s) return s.error();
  return Job{std::move(*plan), std::move(*s)};
}

// The task's index: given, or Slurm's.
Result<std::size_t> taskIndex(std::optional<std::size_t> task) {
  if (task) return *task;
  const std::string index = environment("SLURM_ARRAY_TASK_ID");
  if (index.empty() || index.size() > 9 || index.find_first_not_of("0123456789") != std::string::npos)
    return failed("no task given, and SLURM_ARRAY_TASK_ID is '" + index + "'");
  return static_cast<std::size_t>(std::stoul(index));
}

// The files of a submission to record: all but those a later submission
// analysed again (when this one is recorded by hand after a resubmission),
// as positions in the submission.
std::vector<std::size_t> filesToRecord(const Submission& s, int submission,
                                       const std::map<std::size_t, ExitRecord>& exits) {
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < s.files.size(); ++i) {
    const auto it = exits.find(s.files[i]);
    if (it != exits.end() && it->second.submission > submission) continue;
    positions.push_back(i);
  }
  return positions;
}

}  // namespace

CommandOutcome runTask(const std::string& batchDir, int submission, std::optional<std::size_t> task,
                       const Printer& print) {
  ChildProcesses processes;
  const BatchDir dir(batchDir);
  const Result<Job> job = readJob(dir, submission);
  if (!job) return job.error();
  const StoredPlan& plan = job->plan;
  const Submission& s = job->submission;
  const Result<std::size_t> index = taskIndex(task);
  if (!index) return index.error();
  if (*index >= s.tasks())
    return failed("submission " + std::to_string(submission) + " of batch " + plan.name + " has " +
                  plural(s.tasks(), "task", "tasks") + ", not " + std::to_string(*index + 1));

  // A task run again (requeued) does not analyse again what it reported.
  const std::map<std::size_t, ExitRecord> before = dir.exits();
  std::vector<std::size_t> files;
  for (const std::size_t f : s.taskFiles(*index))
    if (!(before.contains(f) && before.at(f).submission == submission)) files.push_back(f);
  std::vector<ChildCommand> children;
  for (const std::size_t f : files) {
    std::error_code made;
    fs::create_directories(plan.files[f].outputDir, made);
    children.push_back(calibChild(plan.calibExe, plan.files[f]));
  }
  const std::string taskName = environment("SLURM_ARRAY_JOB_ID").empty()
                                   ? std::to_string(*index)
                                   : environment("SLURM_ARRAY_JOB_ID") + "_" + std::to_string(*index);
  bool failedReport = false;
  const RunnerOutcome ran = runChildren(
      processes, children, 1,
      [&](std::size_t i, const ChildExit& exit, const std::string& startError) {
        const PlannedFile& file = plan.files[files[i]];
        const ExitRecord record{submission, exit, startError, taskName, hostName()};
        print.out(terminalText(file.file.path + ": " + (startError.empty() ? describeExit(exit) : startError)) + "\n");
        if (Result<void> written = dir.writeExit(files[i], record); !written) {
          print.message(written.error().message);
          failedReport = true;
        }
        return true;
      },
      nullptr);
  if (ran.terminationSignal) return stoppedBy(ran.terminationSignal);
  return failedReport ? CommandOutcome(reported()) : CommandOutcome();
}

CommandOutcome collectSubmission(const std::string& batchDir, int submission, const Printer& print) {
  ChildProcesses processes;  // for the termination signals
  const BatchDir dir(batchDir);
  const Result<Job> job = readJob(dir, submission);
  if (!job) return job.error();
  const StoredPlan& plan = job->plan;
  const Submission& s = job->submission;
  const Result<Criteria> criteria = parseCriteria(plan.criteriaText, plan.criteriaSource);
  if (!criteria) return criteria.error();

  Collected collected;
  const auto stop = [&](const std::string& why) -> CommandOutcome {
    collected.failed = true;
    collected.error = why + "; 'calib-batch collect " + dir.path() + " " + std::to_string(submission) +
                      "' records the submission again";
    (void)dir.writeCollected(submission, collected);
    return failed(collected.error);
  };
  const Result<std::unique_ptr<Store>> store = Store::open(plan.dbUrl, WaitLimits{&processes}, [&](const std::string& text) { print.message(text); });
  if (!store) return store.error().stopped() ? CommandOutcome(store.error()) : stop(store.error().message);
  // Judged by the database's criteria (those of the plan when it has none).
  if (const Result<CriteriaInForce> inForce = (*store)->startCriteria(*criteria); !inForce)
    return stop(inForce.error().message);

  const std::map<std::size_t, ExitRecord> exits = dir.exits();
  const std::vector<std::size_t> positions = filesToRecord(s, submission, exits);
  std::vector<PlannedFile> files;
  for (const std::size_t i : positions) files.push_back(plan.files[s.files[i]]);
  std::size_t missing = 0;
  Recorder recorder(**store, plan.version, supersedeOf(plan.force, plan.reanalyse), files, print.err);
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (const int signal = processes.takeTermination()) return stoppedBy(signal);
    const std::size_t i = positions[k];
    const auto it = exits.find(s.files[i]);
    const bool fromTask = it != exits.end() && it->second.submission == submission;
    if (!fromTask) ++missing;
    const std::string startError =
        fromTask ? it->second.startError
                 : "its task (array job " + s.arrayJob + ", task " + std::to_string(i / s.filesPerTask) +
                       ") ended without reporting it: the node was lost, or the task was cancelled or ran out of "
                       "time; 'calib-batch submit --resume " +
                       plan.name + "' analyses it again";
    if (!recorder.finished(k, fromTask ? it->second.exit : ChildExit{}, startError)) {
      if (const int signal = recorder.terminationSignal()) return stoppedBy(signal);
      return stop("recording stopped at '" + files[recorder.recorded()].file.path + "'");
    }
  }
  print.out(recorder.table() + recorder.judgedAgainTable());
  collected.summary = plural(files.size(), "file", "files") + ": " + recorder.analysedText() + ", " +
                      std::to_string(recorder.alreadyRecorded()) + " already recorded" +
                      (missing ? ", " + std::to_string(missing) + " never reported" : "");
  print.out(collected.summary + "\n");
  for (const auto& [k, verdict] : recorder.outcomes()) collected.verdicts[s.files[positions[k]]] = verdict;
  collected.failed = recorder.count(Verdict::Error) > 0 || recorder.keptCurrent() > 0;
  if (Result<void> written = dir.writeCollected(submission, collected); !written) return written;
  return collected.failed ? CommandOutcome(reported()) : CommandOutcome();
}

}  // namespace calib::production
