// submit and submit --resume.
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

// Whether any job of the batch is still in the queue; its id in `job`.
std::optional<bool> anyQueued(Slurm& slurm, const std::vector<Submission>& submissions, std::string& job,
                              std::string& error) {
  for (const Submission& s : submissions)
    for (const std::string& id : {s.arrayJob, s.collectJob}) {
      if (id.empty()) continue;
      const std::optional<std::string> state = slurm.queuedState(id, error);
      if (!state) return std::nullopt;
      if (!state->empty()) {
        job = id;
        return true;
      }
    }
  return false;
}

// Submits the files of submission s (numbered, files set): its array of
// tasks and the job that records them, which starts once every task has
// ended, however. The submission is written before any job can start.
bool submitJobs(const BatchDir& dir, Submission& s, const SubmitCommand& command, Slurm& slurm,
                const Printer& print, std::string& error) {
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

  const std::string number = std::to_string(s.number);
  std::vector<std::string> common;
  if (!command.partition.empty()) common.push_back("--partition=" + command.partition);
  common.insert(common.end(), command.sbatchArgs.begin(), command.sbatchArgs.end());
  const auto job = [&](std::vector<std::string> options, const char* what) {
    options.insert(options.end(), common.begin(), common.end());
    options.insert(options.end(), {dir.jobScript(), command.calibBatchExe, what, dir.path(), number});
    return options;
  };
  std::string range = "0-" + std::to_string(s.tasks() - 1);
  if (command.maxParallel > 0) range += "%" + std::to_string(command.maxParallel);
  const std::optional<std::string> array =
      slurm.submit(job({"--job-name=calib-" + dir.name(), "--array=" + range,
                        "--output=" + slurmFilename(dir.logs() + "/task-" + number + "-") + "%a.out"},
                       "task"),
                   error);
  if (!array) {
    error = "cannot submit the tasks: " + error;
    return false;
  }
  s.arrayJob = *array;
  const std::optional<std::string> collect =
      slurm.submit(job({"--job-name=calib-" + dir.name() + "-collect", "--dependency=afterany:" + *array,
                        "--kill-on-invalid-dep=yes", "--output=" + slurmFilename(dir.logs() + "/collect-" + number + ".out")},
                       "collect"),
                   error);
  if (!collect) {
    error = "cannot submit the job that records the tasks' runs: " + error + "; the tasks (job " + *array +
            ") are cancelled";
    std::string ignored;
    slurm.cancel(*array, ignored);
    return false;
  }
  s.collectJob = *collect;
  if (dir.writeSubmission(s, error)) return true;
  std::string ignored;
  slurm.cancel(*collect, ignored);
  slurm.cancel(*array, ignored);
  error += "; the jobs are cancelled";
  return false;
}

void printSubmission(const Submission& s, const Printer& print) {
  if (s.files.empty()) return;
  say(print.out, "array job " + s.arrayJob + ": " + plural(s.tasks(), "task", "tasks") + " of at most " +
                     plural(s.filesPerTask, "file", "files") + "\n");
  say(print.out, "collect job " + s.collectJob + "\n");
}

CommandOutcome resume(const SubmitCommand& command, const Printer& print) {
  CommandOutcome outcome;
  ChildProcesses processes;
  Slurm slurm(processes);
  std::string error;
  const std::optional<BatchDir> dir = BatchDir::find(command.resume, command.run.outDir, error);
  if (!dir) return failure(print, error);
  const std::optional<StoredPlan> plan = dir->readPlan(error);
  if (!plan) return failure(print, error);
  const std::optional<std::vector<Submission>> submissions = dir->submissions(error);
  if (!submissions) return failure(print, error);
  std::string job;
  const std::optional<bool> queued = anyQueued(slurm, *submissions, job, error);
  if (slurm.terminationSignal()) return CommandOutcome{true, slurm.terminationSignal()};
  if (!queued) return failure(print, error);
  if (*queued)
    return failure(print, "batch " + dir->name() + " is still running (job " + job +
                              "); resume it once it has ended, or cancel it first");
  const std::map<std::size_t, ExitRecord> exits = dir->exits();
  Submission s;
  s.number = static_cast<int>(submissions->size()) + 1;
  for (std::size_t i = 0; i < plan->files.size(); ++i)
    if (!exits.contains(i)) s.files.push_back(i);
  say(print.out, dir->name() + "\n");
  if (s.files.empty()) {
    say(print.out, "nothing to submit again: every file of the batch was reported\n");
    return outcome;
  }
  if (!submitJobs(*dir, s, command, slurm, print, error)) return failure(print, error);
  printSubmission(s, print);
  say(print.out, plural(plan->files.size(), "file", "files") + " in the batch: " + std::to_string(s.files.size()) +
                     " submitted again\n");
  return outcome;
}

}  // namespace

CommandOutcome submitBatch(const SubmitCommand& command, const Printer& print) {
  if (!command.resume.empty()) return resume(command, print);
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

  StoredPlan stored;
  for (PlannedFile& f : plan->files) {
    if (carriable(f)) {
      stored.files.push_back(std::move(f));
    } else {
      plan->skipped.emplace_back(f.file.path, "its name is not UTF-8, which a batch on a cluster cannot carry "
                                              "(calib-batch run analyses it)");
    }
  }
  std::optional<BatchDir> dir = BatchDir::create(command.run.outDir, error);
  if (!dir) return failure(print, error);
  stored.name = dir->name();
  stored.calibExe = plan->calibExe;
  stored.calibBatchExe = command.calibBatchExe;
  stored.version = plan->version;
  stored.dbUrl = plan->dbUrl.starts_with("sqlite:")
                     ? "sqlite:" + fs::absolute(plan->dbUrl.substr(7)).lexically_normal().string()
                     : plan->dbUrl;
  stored.criteriaText = plan->criteria.text;
  stored.criteriaSource = command.run.criteriaFile.empty()
                              ? "the built-in criteria"
                              : fs::absolute(command.run.criteriaFile).lexically_normal().string();
  stored.force = command.run.force;
  if (!dir->writePlan(stored, error) || !dir->writeJobScript(error)) return failure(print, error);

  Slurm slurm(processes);
  Submission s;
  s.number = 1;
  for (std::size_t i = 0; i < stored.files.size(); ++i) s.files.push_back(i);
  if (!submitJobs(*dir, s, command, slurm, print, error)) {
    if (slurm.terminationSignal()) return CommandOutcome{true, slurm.terminationSignal()};
    return failure(print, error);
  }
  say(print.out, dir->name() + "\n");
  printSubmission(s, print);
  listSkipped(*plan, print);
  say(print.out, plural(plan->filesFound, "file", "files") + ": " + std::to_string(s.files.size()) +
                     " to analyse in " + plural(s.files.empty() ? 0 : s.tasks(), "task", "tasks") + ", " +
                     std::to_string(plan->alreadyRecorded) + " already recorded, " +
                     std::to_string(plan->skipped.size()) + " skipped\n");
  return outcome;
}

}  // namespace calib::production
