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
#include "production/criteria.hpp"
#include "production/report.hpp"
#include "production/store.hpp"
#include "support/process.hpp"

namespace {

using namespace calib;
using namespace calib::production;
namespace fs = std::filesystem;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// calib.exe beside this program.
std::string defaultCalib() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? "calib.exe" : (self.parent_path() / "calib.exe").string();
}

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
  CLI::App app{"calib-batch: calibrates chips by the batch, records every run with its verdict in a results "
               "database, and lists them."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "the help of every command");
  const std::string defaultDb = defaultDatabaseUrl("calib-out");

  RunCommand run;
  run.jobs = std::max(1u, std::thread::hardware_concurrency());
  run.calibExe = defaultCalib();
  bool progress = ::isatty(STDERR_FILENO) == 1;
  CLI::App* runApp = app.add_subcommand("run", "analyse every ADC file under the paths and record the runs");
  runApp->add_option("--out", run.outDir, "output root: every run's outputs go below it")->capture_default_str();
  runApp->add_option("--db", run.dbUrl, "sqlite:PATH or postgresql://… [sqlite:<out>/calib.sqlite]");
  runApp->add_option("--jobs", run.jobs, "calib processes at once")->capture_default_str()->check(CLI::Range(1, 1024));
  runApp->add_option("--criteria", run.criteriaFile, "acceptance criteria (TOML) [the built-in ones]");
  runApp->add_option("--name-pattern", run.namePattern,
                     "regular expression with named groups chip and config (and date, time, board, link)");
  runApp->add_flag("--force", run.force, "analyse files already recorded again (the earlier record is superseded)");
  runApp->add_flag("--dry-run", run.dryRun, "say what would be analysed; analyse and record nothing");
  runApp->add_option("--calib", run.calibExe, "the calib program")->capture_default_str();
  runApp->add_flag("--progress,!--no-progress", progress, "a progress line on standard error [when a terminal]");
  runApp->add_option("PATH", run.paths, "ADC files or directories")->required();

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
  chipsApp->add_option("--format", formatName, "table, csv or json")->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json"}));

  std::string chip;
  CLI::App* historyApp = app.add_subcommand("history", "every run of a chip, with the gain changes between them");
  historyApp->add_option("--db", db, "sqlite:PATH or postgresql://…")->capture_default_str();
  historyApp->add_option("--format", formatName, "table, csv or json")->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json"}));
  historyApp->add_option("CHIP", chip, "the chip, as its file names give it")->required();

  std::string what;
  CLI::App* exportApp = app.add_subcommand("export", "every recorded run or channel result, for programs");
  exportApp->add_option("--db", db, "sqlite:PATH or postgresql://…")->capture_default_str();
  exportApp->add_option("--what", what, "runs or channels")->required()->check(CLI::IsMember({"runs", "channels"}));
  exportApp->add_option("--format", formatName, "csv or json")->required()->check(CLI::IsMember({"csv", "json"}));

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
