// submit and submit --resume.
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "production/batch_dir.hpp"
#include "production/cluster.hpp"
#include "production/slurm.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

void say(const ByteSink& sink, const std::string& text) { sink(text); }

// Whether every text of a planned file can go into the batch's JSON files.
bool carriable(const PlannedFile& f) {
  for (const std::string* text : {&f.file.path, &f.file.relative, &f.outputDir, &f.fields.chip, &f.fields.config,
                                  &f.fields.stand.board, &f.fields.stand.link})
    if (!isValidUtf8(*text)) return false;
  return true;
}

// The names the jobs of a batch have in the queue.
std::vector<std::string> jobNames(const BatchDir& dir) {
  return {"calib-" + dir.name(), "calib-" + dir.name() + "-collect"};
}

// sbatch options calib-batch cannot follow: the jobs' ids then belong to
// another cluster than squeue and scancel ask.
std::string unfollowable(const std::vector<std::string>& sbatchArgs) {
  for (const std::string& a : sbatchArgs)
    if (a.starts_with("-M") || a.starts_with("--clusters") || a.starts_with("--cluster=")) return a;
  return "";
}

// A file to submit again: no task reported it, or its calib was killed (by
// Slurm ending the task, by the memory limit): a run again may succeed.
bool toSubmitAgain(const std::map<std::size_t, ExitRecord>& exits, std::size_t file) {
  const auto it = exits.find(file);
  if (it == exits.end()) return true;
  const int s = it->second.exit.signal;
  return s == SIGTERM || s == SIGKILL || s == SIGINT || s == SIGHUP;
}

// Submits the files of submission s (numbered, files set): its array of
// tasks and the job that records them, which starts once every task has
// ended, however. The submission is written before any job can start. A
// termination signal during a submission cancels what was submitted.
bool submitJobs(const BatchDir& dir, Submission& s, const SubmitCommand& command, Slurm& slurm, const Printer& print,
                std::string& error) {
  if (s.files.empty()) return dir.writeSubmission(s, error);
  s.filesPerTask = std::max<std::size_t>(1, command.filesPerTask);
  const std::optional<std::size_t> maxArray = slurm.maxArraySize(error);
  if (!maxArray) return false;
  if (s.tasks() > *maxArray && *maxArray > 0) {
    s.filesPerTask = (s.files.size() + *maxArray - 1) / *maxArray;
    say(print.err, "calib-batch: the cluster takes arrays of at most " + std::to_string(*maxArray) +
                       " tasks; each task analyses " + std::to_string(s.filesPerTask) + " files\n");
  }
  if (!dir.writeSubmission(s, error)) return false;

  // The jobs start in the logs directory. sbatch reads %-patterns in the
  // whole path of --output: a % of the path is doubled.
  const std::string number = std::to_string(s.number);
  std::vector<std::string> common{"--chdir=" + dir.logs()};
  if (!command.partition.empty()) common.push_back("--partition=" + command.partition);
  common.insert(common.end(), command.sbatchArgs.begin(), command.sbatchArgs.end());
  const auto job = [&](std::vector<std::string> options, const char* what) {
    options.insert(options.end(), common.begin(), common.end());
    options.insert(options.end(), {dir.jobScript(), command.calibBatchExe, what, dir.path(), number});
    return options;
  };
  std::vector<std::string> submitted;
  const auto undo = [&](const std::string& why) {
    std::string ignored;
    for (const std::string& id : submitted) slurm.cancel(id, ignored);
    error = why + (submitted.empty() ? "" : "; the jobs submitted are cancelled");
    return false;
  };
  std::string range = "0-" + std::to_string(s.tasks() - 1);
  if (command.maxParallel > 0) range += "%" + std::to_string(command.maxParallel);
  const std::optional<std::string> array =
      slurm.submit(job({"--job-name=" + jobNames(dir)[0], "--array=" + range,
                        "--output=" + slurmFilename(dir.logs() + "/task-" + number + "-") + "%a.out"},
                       "task"),
                   error);
  if (array) submitted.push_back(*array);
  if (!array) return undo("cannot submit the tasks: " + error);
  if (slurm.terminationSignal()) return undo("stopped");
  s.arrayJob = *array;
  const std::optional<std::string> collect = slurm.submit(
      job({"--job-name=" + jobNames(dir)[1], "--dependency=afterany:" + *array, "--kill-on-invalid-dep=yes",
           "--output=" + slurmFilename(dir.logs() + "/collect-" + number + ".out")},
          "collect"),
      error);
  if (collect) submitted.push_back(*collect);
  if (!collect) return undo("cannot submit the job that records the tasks' runs: " + error);
  if (slurm.terminationSignal()) return undo("stopped");
  s.collectJob = *collect;
  if (!dir.writeSubmission(s, error)) return undo(error);
  return true;
}

void printSubmission(const Submission& s, const Printer& print) {
  if (s.files.empty()) return;
  say(print.out, "array job " + s.arrayJob + ": " + plural(s.tasks(), "task", "tasks") + " of at most " +
                     plural(s.filesPerTask, "file", "files") + "\n");
  say(print.out, "collect job " + s.collectJob + "\n");
}

// The end of a submission that failed: its message, or the signal.
CommandOutcome notSubmitted(const Slurm& slurm, const Printer& print, const std::string& error) {
  if (slurm.terminationSignal()) return CommandOutcome{true, slurm.terminationSignal()};
  return failure(print, error);
}

CommandOutcome resume(const SubmitCommand& command, const Printer& print) {
  CommandOutcome outcome;
  ChildProcesses processes;
  Slurm slurm(processes);
  std::string error;
  const std::optional<BatchDir> dir = BatchDir::find(command.resume, command.run.outDir, error);
  if (!dir) return failure(print, error);
  const std::optional<BatchDir::Lock> lock = dir->lock(error);
  if (!lock) return failure(print, error);
  const std::optional<StoredPlan> plan = dir->readPlan(error);
  if (!plan) return failure(print, error);
  const std::optional<std::vector<Submission>> submissions = dir->submissions(plan->files.size(), error);
  if (!submissions) return failure(print, error);
  const std::optional<std::vector<std::string>> queued = slurm.queuedNamed(jobNames(*dir), error);
  if (!queued) return notSubmitted(slurm, print, error);
  if (!queued->empty())
    return failure(print, "batch " + dir->name() + " is still running (job " + queued->front() +
                              "); resume it once it has ended, or cancel it first");
  // A submission whose recording job did not record it is recorded here
  // first: its files reported are not analysed again.
  for (const Submission& s : *submissions) {
    const std::optional<Collected> collected = dir->readCollected(s.number);
    if (s.files.empty() || (collected && collected->error.empty())) continue;
    say(print.err,
        "calib-batch: recording submission " + std::to_string(s.number) + ", which its job did not record\n");
    const CommandOutcome recorded = collectSubmission(dir->path(), s.number, Printer{print.err, print.err, false});
    if (recorded.terminationSignal) return recorded;
    const std::optional<Collected> now = dir->readCollected(s.number);
    if (!now || !now->error.empty())
      return failure(print, "submission " + std::to_string(s.number) + " is not recorded");
  }
  const std::map<std::size_t, ExitRecord> exits = dir->exits();
  Submission s;
  s.number = static_cast<int>(submissions->size()) + 1;
  for (std::size_t i = 0; i < plan->files.size(); ++i)
    if (toSubmitAgain(exits, i)) s.files.push_back(i);
  if (s.files.empty()) {
    say(print.out, dir->name() + "\nnothing to submit again: every file of the batch was analysed\n");
    return outcome;
  }
  if (!submitJobs(*dir, s, command, slurm, print, error)) return notSubmitted(slurm, print, error);
  say(print.out, dir->name() + "\n");
  printSubmission(s, print);
  say(print.out, plural(plan->files.size(), "file", "files") + " in the batch: " + std::to_string(s.files.size()) +
                     " submitted again\n");
  return outcome;
}

}  // namespace

CommandOutcome submitBatch(const SubmitCommand& command, const Printer& print) {
  if (const std::string option = unfollowable(command.sbatchArgs); !option.empty())
    return failure(print, "'--sbatch-arg=" + option + "': a batch is followed on the cluster it is submitted from");
  if (!command.resume.empty()) return resume(command, print);
  const auto absolute = [](const std::string& path) { return fs::absolute(path).lexically_normal().string(); };
  // sbatch drops every backslash of a log's path, and the jobs could not
  // open their logs.
  if (absolute(command.run.outDir).find('\\') != std::string::npos)
    return failure(print, "the output root '" + command.run.outDir +
                              "' has a backslash, which Slurm drops from the jobs' log paths; choose another --out");
  CommandOutcome outcome;
  ChildProcesses processes;
  std::string error;
  // The database is only read here: the jobs write it.
  PlanRequest request = planRequest(command.run);
  request.readOnly = true;
  std::optional<BatchPlan> plan = planBatch(request, processes, print.err, error, outcome.terminationSignal);
  if (outcome.terminationSignal) return outcome;
  if (!plan) return failure(print, error);
  outcome.failed = plan->incomplete;

  // Everything the jobs get is in absolute paths: they start elsewhere.
  StoredPlan stored;
  stored.calibExe = plan->calibExe;
  stored.calibBatchExe = command.calibBatchExe;
  stored.version = plan->version;
  stored.dbUrl = plan->dbUrl.starts_with("sqlite:") ? "sqlite:" + absolute(plan->dbUrl.substr(7)) : plan->dbUrl;
  stored.criteriaText = plan->criteria.text;
  stored.criteriaSource =
      command.run.criteriaFile.empty() ? "the built-in criteria" : absolute(command.run.criteriaFile);
  stored.force = command.run.force;
  for (const std::string* text :
       std::initializer_list<const std::string*>{&stored.calibExe, &stored.calibBatchExe, &stored.dbUrl,
                                                 &stored.criteriaSource, &stored.version, &command.run.outDir})
    if (!isValidUtf8(*text))
      return failure(print, "'" + validUtf8(*text) + "' is not UTF-8, which a batch on a cluster cannot carry");
  for (PlannedFile& f : plan->files) {
    f.file.path = absolute(f.file.path);
    if (carriable(f)) {
      stored.files.push_back(std::move(f));
    } else {
      plan->skipped.emplace_back(f.file.path,
                                 "its name is not UTF-8, which a batch on a cluster cannot carry "
                                 "(calib-batch run analyses it)");
    }
  }
  std::optional<BatchDir> dir = BatchDir::create(command.run.outDir, error);
  if (!dir) return failure(print, error);
  stored.name = dir->name();
  if (!dir->writePlan(stored, error) || !dir->writeJobScript(error)) return failure(print, error);

  Slurm slurm(processes);
  Submission s;
  s.number = 1;
  for (std::size_t i = 0; i < stored.files.size(); ++i) s.files.push_back(i);
  if (!submitJobs(*dir, s, command, slurm, print, error)) return notSubmitted(slurm, print, error);
  say(print.out, dir->name() + "\n");
  printSubmission(s, print);
  listSkipped(*plan, print);
  say(print.out, plural(plan->filesFound, "file", "files") + ": " + std::to_string(s.files.size()) + " to analyse in " +
                     plural(s.tasks(), "task", "tasks") + ", " + std::to_string(plan->alreadyRecorded) +
                     " already recorded, " + std::to_string(plan->skipped.size()) + " skipped\n");
  return outcome;
}

}  // namespace calib::production
