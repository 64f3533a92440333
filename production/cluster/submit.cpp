// submit and submit --resume.
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "production/batch/plan.hpp"
#include "production/batch/run_batch.hpp"
#include "production/cluster/batch_dir.hpp"
#include "production/cluster/cluster.hpp"
#include "production/cluster/slurm.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

std::string absolute(const std::string& path) { return fs::absolute(path).lexically_normal().string(); }

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

// A file to submit again: no task reported it, or its calib was killed (by
// Slurm ending the task, by the memory limit): a run again may succeed.
bool toSubmitAgain(const std::map<std::size_t, ExitRecord>& exits, std::size_t file) {
  const auto it = exits.find(file);
  if (it == exits.end()) return true;
  const int s = it->second.exit.signal;
  return s == SIGTERM || s == SIGKILL || s == SIGINT || s == SIGHUP;
}

// The tasks' share of the files: at most as many tasks as the cluster
// takes in one array.
Result<void> shareFiles(Submission& s, const SubmitCommand& command, Slurm& slurm, const Printer& print) {
  s.filesPerTask = std::max<std::size_t>(1, command.filesPerTask);
  const Result<std::size_t> maxArray = slurm.maxArraySize();
  if (!maxArray) return maxArray.error();
  if (s.tasks() > *maxArray && *maxArray > 0) {
    s.filesPerTask = (s.files.size() + *maxArray - 1) / *maxArray;
    print.message("the cluster takes arrays of at most " + std::to_string(*maxArray) + " tasks; each task analyses " +
                  std::to_string(s.filesPerTask) + " files");
  }
  return {};
}

// Submits the files of submission s (numbered, files set): its array of
// tasks and the job that records them, which starts once every task has
// ended, however. The submission is written before any job can start. A
// termination signal during a submission cancels what was submitted.
Result<void> submitJobs(const BatchDir& dir, Submission& s, const SubmitCommand& command, Slurm& slurm,
                        const Printer& print) {
  if (s.files.empty()) return dir.writeSubmission(s);
  if (Result<void> shared = shareFiles(s, command, slurm, print); !shared) return shared;
  if (Result<void> written = dir.writeSubmission(s); !written) return written;

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
  const auto undo = [&](const std::string& why) -> Result<void> {
    for (const std::string& id : submitted) (void)slurm.cancel(id);
    if (slurm.terminationSignal()) return stoppedBy(slurm.terminationSignal());
    return failed(why + (submitted.empty() ? "" : "; the jobs submitted are cancelled"));
  };
  std::string range = "0-" + std::to_string(s.tasks() - 1);
  if (command.maxParallel > 0) range += "%" + std::to_string(command.maxParallel);
  const Result<std::string> array =
      slurm.submit(job({"--job-name=" + jobNames(dir)[0], "--array=" + range,
                        "--output=" + slurmFilename(dir.logs() + "/task-" + number + "-") + "%a.out"},
                       "task"));
  if (!array) return undo("cannot submit the tasks: " + array.error().message);
  submitted.push_back(*array);
  if (slurm.terminationSignal()) return undo("stopped");
  s.arrayJob = *array;
  const Result<std::string> collect = slurm.submit(
      job({"--job-name=" + jobNames(dir)[1], "--dependency=afterany:" + *array, "--kill-on-invalid-dep=yes",
           "--output=" + slurmFilename(dir.logs() + "/collect-" + number + ".out")},
          "collect"));
  if (!collect) return undo("cannot submit the job that records the tasks' runs: " + collect.error().message);
  submitted.push_back(*collect);
  if (slurm.terminationSignal()) return undo("stopped");
  s.collectJob = *collect;
  if (Result<void> written = dir.writeSubmission(s); !written) return undo(written.error().message);
  return {};
}

void printSubmission(const Submission& s, const Printer& print) {
  if (s.files.empty()) return;
  print.out("array job " + s.arrayJob + ": " + plural(s.tasks(), "task", "tasks") + " of at most " +
            plural(s.filesPerTask, "file", "files") + "\n");
  print.out("collect job " + s.collectJob + "\n");
}

// A submission whose recording job did not record it is recorded first:
// its files reported are not analysed again.
CommandOutcome recordUnrecorded(const BatchDir& dir, const std::vector<Submission>& submissions,
                                const Printer& print) {
  for (const Submission& s : submissions) {
    const std::optional<Collected> collected = dir.readCollected(s.number);
    if (s.files.empty() || (collected && collected->error.empty())) continue;
    print.message("recording submission " + std::to_string(s.number) + ", which its job did not record");
    const CommandOutcome recorded = collectSubmission(dir.path(), s.number, Printer{print.err, print.err, false});
    if (!recorded && recorded.error().stopped()) return recorded;
    if (!recorded && !recorded.error().message.empty()) print.message(recorded.error().message);
    const std::optional<Collected> now = dir.readCollected(s.number);
    if (!now || !now->error.empty()) return failed("submission " + std::to_string(s.number) + " is not recorded");
  }
  return {};
}

CommandOutcome resume(const SubmitCommand& command, const Printer& print) {
  ChildProcesses processes;
  Slurm slurm(processes);
  const Result<BatchDir> dir = BatchDir::find(command.resume, command.batch.outDir);
  if (!dir) return dir.error();
  const Result<BatchDir::Lock> lock = dir->lock();
  if (!lock) return lock.error();
  const Result<StoredPlan> plan = dir->readPlan();
  if (!plan) return plan.error();
  const Result<std::vector<Submission>> submissions = dir->submissions(plan->files.size());
  if (!submissions) return submissions.error();
  const Result<std::vector<std::string>> queued = slurm.queuedNamed(jobNames(*dir));
  if (!queued) return queued.error();
  if (!queued->empty())
    return failed("batch " + dir->name() + " is still running (job " + queued->front() +
                  "); resume it once it has ended, or cancel it first");
  if (CommandOutcome recorded = recordUnrecorded(*dir, *submissions, print); !recorded) return recorded;
  const std::map<std::size_t, ExitRecord> exits = dir->exits();
  Submission s;
  s.number = static_cast<int>(submissions->size()) + 1;
  for (std::size_t i = 0; i < plan->files.size(); ++i)
    if (toSubmitAgain(exits, i)) s.files.push_back(i);
  if (s.files.empty()) {
    print.out(dir->name() + "\nnothing to submit again: every file of the batch was analysed\n");
    return {};
  }
  if (Result<void> submitted = submitJobs(*dir, s, command, slurm, print); !submitted) return submitted;
  print.out(dir->name() + "\n");
  printSubmission(s, print);
  print.out(plural(plan->files.size(), "file", "files") + " in the batch: " + std::to_string(s.files.size()) +
            " submitted again\n");
  return {};
}

// The plan as the jobs read it: everything in absolute paths, as they
// start elsewhere; files whose names are not UTF-8 left out (skipped).
Result<StoredPlan> storedPlan(const BatchContext& context, BatchPlan& plan, const SubmitCommand& command) {
  StoredPlan stored;
  stored.calibExe = context.calibExe;
  stored.calibBatchExe = command.calibBatchExe;
  stored.version = context.version;
  stored.dbUrl = context.dbUrl.starts_with("sqlite:") ? "sqlite:" + absolute(context.dbUrl.substr(7)) : context.dbUrl;
  stored.criteriaText = context.rules.criteria.text;
  stored.criteriaSource =
      command.batch.criteriaFile.empty() ? "the database's criteria" : absolute(command.batch.criteriaFile);
  stored.force = command.batch.force;
  stored.reanalyse = command.batch.reanalyse;
  for (const std::string* text :
       std::initializer_list<const std::string*>{&stored.calibExe, &stored.calibBatchExe, &stored.dbUrl,
                                                 &stored.criteriaSource, &stored.version, &command.batch.outDir})
    if (!isValidUtf8(*text))
      return failed("'" + validUtf8(*text) + "' is not UTF-8, which a batch on a cluster cannot carry");
  for (PlannedFile& f : plan.files) {
    f.file.path = absolute(f.file.path);
    if (carriable(f)) {
      stored.files.push_back(std::move(f));
    } else {
      plan.skipped.emplace_back(f.file.path,
                                "its name is not UTF-8, which a batch on a cluster cannot carry "
                                "(calib-batch run analyses it)");
    }
  }
  return stored;
}

}  // namespace

// sbatch options calib-batch cannot follow: the jobs' ids then belong to
// another cluster than squeue and scancel ask.
Result<void> checkSbatchArg(const std::string& arg) {
  if (arg.starts_with("-M") || arg.starts_with("--clusters") || arg.starts_with("--cluster="))
    return failed("'" + arg + "' sends the jobs to another cluster; a batch is followed on the cluster it is " +
                  "submitted from");
  return {};
}

CommandOutcome submitBatch(const SubmitCommand& command, const Printer& print) {
  for (const std::string& arg : command.sbatchArgs)
    if (Result<void> checked = checkSbatchArg(arg); !checked) return checked;
  if (!command.resume.empty()) return resume(command, print);
  // sbatch drops every backslash of a log's path, and the jobs could not
  // open their logs.
  if (absolute(command.batch.outDir).find('\\') != std::string::npos)
    return failed("the output root '" + command.batch.outDir +
                  "' has a backslash, which Slurm drops from the jobs' log paths; choose another --out");
  ChildProcesses processes;
  // The database is only read here: the jobs write it.
  const Result<BatchContext> context = openBatchContext(
      command.batch, Access::ReadOnly, processes, [&](const Rules& rules) { return checkNamed(command.batch, rules); });
  if (!context) return context.error();
  Result<BatchPlan> plan = planBatch(*context, command.batch, processes, print.err);
  if (!plan) return plan.error();
  Result<StoredPlan> stored = storedPlan(*context, *plan, command);
  if (!stored) return stored.error();
  const Result<BatchDir> dir = BatchDir::create(command.batch.outDir);
  if (!dir) return dir.error();
  stored->name = dir->name();
  if (Result<void> written = dir->writePlan(*stored); !written) return written;
  if (Result<void> written = dir->writeJobScript(); !written) return written;

  Slurm slurm(processes);
  Submission s;
  s.number = 1;
  for (std::size_t i = 0; i < stored->files.size(); ++i) s.files.push_back(i);
  if (Result<void> submitted = submitJobs(*dir, s, command, slurm, print); !submitted) return submitted;
  print.out(dir->name() + "\n");
  printSubmission(s, print);
  listSkipped(*plan, print);
  print.out(plural(plan->filesFound, "file", "files") + ": " + std::to_string(s.files.size()) + " to analyse in " +
            plural(s.tasks(), "task", "tasks") + ", " + std::to_string(plan->alreadyRecorded) + " already recorded, " +
            std::to_string(plan->skipped.size()) + " skipped" + waitingText(*plan) + "\n" +
            usedText(context->dbUrl, command.batch.configFile));
  return plan->incomplete ? CommandOutcome(reported()) : CommandOutcome();
}

}  // namespace calib::production
