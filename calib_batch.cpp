// calib-batch: production calibration over a test stand's tree. Finds the
// ADC files, analyses each with calib (a process per file, several at
// once), records every run with its verdict in a results database (SQLite
// or PostgreSQL), and lists chips, a chip's history and everything
// recorded.
//
//   calib-batch run [--out DIR] [--db URL] [--jobs N] [--criteria FILE]
//                   [--name-pattern REGEX] [--force] [--dry-run] PATH...
//   calib-batch ingest [--db URL] [--criteria FILE] RESULTS.json...
//   calib-batch chips [--db URL] [--failed] [--format table|csv|json]
//   calib-batch history [--db URL] [--format table|csv|json] CHIP
//   calib-batch export [--db URL] --what runs|channels --format csv|json
//   calib-batch submit --slurm [run options] [--partition P] [--files-per-task K]
//                      [--max-parallel M] [--sbatch-arg ARG]... PATH...
//   calib-batch submit --resume BATCH [--out DIR] [--partition P] …
//   calib-batch status [--out DIR] BATCH
//   calib-batch wait [--out DIR] [--timeout SECONDS] BATCH
//   calib-batch report [--db URL] [--out DIR] [--since DATE] [--config PATTERN]
//   calib-batch criteria
//
// Exit status: 0 when everything was analysed and recorded (a chip that
// fails is a result, not an error), 1 when a file could not be analysed or
// recorded or the database could not be used, 2 for a usage error.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <thread>

#include "production/batch.hpp"
#include "production/cluster.hpp"
#include "production/criteria.hpp"
#include "production/report.hpp"
#include "production/site_command.hpp"
#include "production/store.hpp"
#include "support/process.hpp"

namespace {

using namespace calib;
using namespace calib::production;
namespace fs = std::filesystem;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// This program, as the jobs of a batch on a cluster run it.
std::string selfPath() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? "calib-batch" : self.string();
}

// calib.exe beside this program.
std::string defaultCalib() { return (fs::path(selfPath()).parent_path() / "calib.exe").string(); }

void printError(const std::string& message) {
  const std::string text = "calib-batch: " + message + "\n";
  fdSink(STDERR_FILENO)(text);
}

int finish(const CommandOutcome& outcome) {
  if (outcome.terminationSignal) ChildProcesses::endBy(outcome.terminationSignal);
  return outcome.failed ? kExitFailure : kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{
      "calib-batch: calibrates chips by the batch, records every run with its verdict in a results "
      "database, and lists them."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "the help of every command");
  const std::string defaultDb = defaultDatabaseUrl("calib-out");

  RunCommand run;
  run.jobs = std::max(1u, std::thread::hardware_concurrency());
  run.calibExe = defaultCalib();
  bool progress = ::isatty(STDERR_FILENO) == 1;
  // The options of what to analyse, the same for run and submit.
  const auto addRunOptions = [&](CLI::App* command) {
    command->add_option("--out", run.outDir, "output root: every run's outputs go below it")->capture_default_str();
    command->add_option("--db", run.dbUrl, "sqlite:PATH or postgresql://… [sqlite:<out>/calib.sqlite]");
    command->add_option("--jobs", run.jobs, "calib processes at once (submit: threads for the hashes)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    command->add_option("--criteria", run.criteriaFile, "acceptance criteria (TOML) [the built-in ones]");
    command->add_option("--name-pattern", run.namePattern,
                        "regular expression with named groups chip and config (and date, time, board, link)");
    command->add_flag("--force", run.force, "analyse files already recorded again (the earlier record is superseded)");
    command->add_option("--calib", run.calibExe, "the calib program")->capture_default_str();
  };
  CLI::App* runApp = app.add_subcommand("run", "analyse every ADC file under the paths and record the runs");
  addRunOptions(runApp);
  runApp->add_flag("--dry-run", run.dryRun, "say what would be analysed; analyse and record nothing");
  runApp->add_flag("--progress,!--no-progress", progress, "a progress line on standard error [when a terminal]");
  runApp->add_option("PATH", run.paths, "ADC files or directories")->required();

  SubmitCommand submit;
  bool slurm = false;
  CLI::App* submitApp =
      app.add_subcommand("submit", "analyse on a Slurm cluster: one job array, and a job that records every run");
  addRunOptions(submitApp);
  submitApp->add_flag("--slurm", slurm, "submit to Slurm (sbatch, squeue, scancel in PATH)");
  submitApp->add_option("--resume", submit.resume, "submit again the files of BATCH that no task reported or whose calib was killed");
  submitApp->add_option("--partition", submit.partition, "the partition of the jobs");
  submitApp->add_option("--files-per-task", submit.filesPerTask, "files each task analyses")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  submitApp->add_option("--max-parallel", submit.maxParallel, "tasks running at once [no limit]")
      ->check(CLI::Range(1, 1000000));
  submitApp->add_option("--sbatch-arg", submit.sbatchArgs, "an option for sbatch, given as --sbatch-arg=--account=A (repeatable)")
      ->allow_extra_args(false);
  submitApp->add_option("PATH", run.paths, "ADC files or directories");

  std::string batch;
  double timeout = 0;
  CLI::App* statusApp = app.add_subcommand("status", "the tasks and the runs of a batch on a cluster");
  statusApp->add_option("--out", run.outDir, "the output root it was submitted to")->capture_default_str();
  statusApp->add_option("BATCH", batch, "the batch's name, or its directory")->required();
  CLI::App* waitApp = app.add_subcommand("wait", "wait until a batch on a cluster is recorded");
  waitApp->add_option("--out", run.outDir, "the output root it was submitted to")->capture_default_str();
  waitApp->add_option("--timeout", timeout, "give up after SECONDS [never]")->check(CLI::PositiveNumber);
  waitApp->add_flag("--progress,!--no-progress", progress, "a progress line on standard error [when a terminal]");
  waitApp->add_option("BATCH", batch, "the batch's name, or its directory")->required();

  // The jobs of a batch, run by the cluster.
  int submission = 0;
  std::optional<std::size_t> task;
  CLI::App* taskApp = app.add_subcommand("task", "(a job of a batch) analyse a task's files")->group("");
  taskApp->add_option("BATCH_DIR", batch)->required();
  taskApp->add_option("SUBMISSION", submission)->required();
  taskApp->add_option("TASK", task, "[SLURM_ARRAY_TASK_ID]");
  CLI::App* collectApp =
      app.add_subcommand("collect", "(a job of a batch, or by hand) record a submission's runs")->group("");
  collectApp->add_option("BATCH_DIR", batch)->required();
  collectApp->add_option("SUBMISSION", submission)->required();

  IngestCommand ingest;
  ingest.dbUrl = defaultDb;
  CLI::App* ingestApp = app.add_subcommand("ingest", "record results that calib wrote elsewhere");
  ingestApp->add_option("--db", ingest.dbUrl, "sqlite:PATH or postgresql://…")->capture_default_str();
  ingestApp->add_option("--criteria", ingest.criteriaFile, "acceptance criteria (TOML) [the built-in ones]");
  ingestApp->add_option("--name-pattern", ingest.namePattern, "how the ADC file names give the stand's fields");
  ingestApp->add_flag("--progress,!--no-progress", progress, "a progress line on standard error");
  ingestApp->add_option("RESULTS", ingest.resultFiles, "calib's JSON results files")->required();

  std::string db = defaultDb;
  std::string formatName = "table";
  bool failedOnly = false;
  CLI::App* chipsApp = app.add_subcommand("chips", "the latest verdict of every chip and configuration");
  chipsApp->add_option("--db", db, "sqlite:PATH or postgresql://…")->capture_default_str();
  chipsApp->add_flag("--failed", failedOnly, "only chips whose latest run did not pass");
  chipsApp->add_option("--format", formatName, "table, csv or json")
      ->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json"}));

  std::string chip;
  CLI::App* historyApp = app.add_subcommand("history", "every run of a chip, with the gain changes between them");
  historyApp->add_option("--db", db, "sqlite:PATH or postgresql://…")->capture_default_str();
  historyApp->add_option("--format", formatName, "table, csv or json")
      ->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json"}));
  historyApp->add_option("CHIP", chip, "the chip, as its file names give it")->required();

  std::string what;
  CLI::App* exportApp = app.add_subcommand("export", "every recorded run or channel result, for programs");
  exportApp->add_option("--db", db, "sqlite:PATH or postgresql://…")->capture_default_str();
  exportApp->add_option("--what", what, "runs or channels")->required()->check(CLI::IsMember({"runs", "channels"}));
  exportApp->add_option("--format", formatName, "csv or json")->required()->check(CLI::IsMember({"csv", "json"}));

  ReportCommand report;
  report.dbUrl = defaultDb;
  report.outDir = "calib-out/report";
  CLI::App* reportApp =
      app.add_subcommand("report", "the results as a static HTML site: an overview and a page per chip");
  reportApp->add_option("--db", report.dbUrl, "sqlite:PATH or postgresql://…")->capture_default_str();
  reportApp->add_option("--out", report.outDir, "the report's directory (replaced whole)")->capture_default_str();
  reportApp->add_option("--since", report.since, "only runs measured on DATE (YYYY-MM-DD) or later");
  reportApp->add_option("--config", report.configPattern, "only configurations matching PATTERN (a glob)");

  app.add_subcommand("criteria", "print the built-in acceptance criteria, a file to start one's own from");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  const Printer print{fdSink(STDOUT_FILENO), fdSink(STDERR_FILENO), progress};
  if (runApp->parsed()) return finish(runBatch(run, print));
  if (submitApp->parsed()) {
    const char* wrong = !submit.resume.empty()
                            ? (run.paths.empty() ? nullptr : "--resume takes no PATHs: the batch has its files")
                        : !slurm            ? "submit needs the scheduler to submit to: --slurm"
                        : run.paths.empty() ? "submit needs the PATHs to analyse"
                                            : nullptr;
    if (wrong) {
      printError(wrong);
      return kExitUsage;
    }
    submit.run = run;
    submit.calibBatchExe = selfPath();
    return finish(submitBatch(submit, print));
  }
  if (reportApp->parsed()) return finish(writeReport(report, print));
  if (statusApp->parsed()) return finish(batchStatus(batch, run.outDir, print));
  if (waitApp->parsed()) return finish(waitBatch(batch, run.outDir, timeout, print));
  if (taskApp->parsed()) return finish(runTask(batch, submission, task, print));
  if (collectApp->parsed()) return finish(collectSubmission(batch, submission, print));
  if (ingestApp->parsed()) return finish(ingestResults(ingest, print));
  if (app.got_subcommand("criteria")) {
    print.out(defaultCriteriaText());
    return kExitSuccess;
  }

  std::string error;
  bool absent = false;
  const std::unique_ptr<Store> store = Store::openExisting(db, error, absent);
  if (!store) {
    printError(error);
    return kExitFailure;
  }
  const Format format = *formatFromName(formatName);
  std::string text;
  if (chipsApp->parsed()) {
    const auto rows = store->chips(failedOnly, error);
    if (rows) text = formatRuns(*rows, format, true);
  } else if (historyApp->parsed()) {
    std::map<std::int64_t, std::vector<std::optional<double>>> gains;
    const auto rows = store->history(chip, gains, error);
    if (rows && rows->empty()) error = "chip '" + chip + "' has no recorded run in " + store->database().name();
    if (rows && !rows->empty()) text = formatHistory(chip, *rows, gains, format);
  } else if (what == "runs") {
    const auto rows = store->allRuns(error);
    if (rows) text = formatRuns(*rows, format, false);
  } else {
    const auto rows = store->allChannels(error);
    if (rows) text = formatChannels(*rows, format);
  }
  if (!error.empty()) {
    printError(error);
    return kExitFailure;
  }
  if (const std::error_code e = print.out(text)) {
    printError("cannot write standard output: " + e.message());
    return kExitFailure;
  }
  return kExitSuccess;
}
