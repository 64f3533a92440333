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
//   calib-batch --version
//
// The subcommands are the table of production/cli/subcommands.cpp. Exit
// status: 0 when everything was analysed and recorded (a chip that fails
// is a result, not an error), 1 when a file could not be analysed or
// recorded or the database could not be used, 2 for a usage error; a
// command stopped by a termination signal ends by that signal.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <filesystem>
#include <thread>

#include "production/cli/subcommands.hpp"
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

void printError(const std::string& message) { fdSink(STDERR_FILENO)("calib-batch: " + message + "\n"); }

// The exit status of an outcome: a failure's message is printed here, and
// a command stopped by a signal ends by it.
int finish(const CommandOutcome& outcome) {
  if (outcome) return kExitSuccess;
  const Failure& failure = outcome.error();
  if (!failure.message.empty()) printError(failure.message);
  if (failure.stopped()) ChildProcesses::endBy(failure.signal);
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{
      "calib-batch: calibrates chips by the batch, records every run with its verdict in a results "
      "database, and lists them."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "the help of every command");
  app.set_version_flag("--version", "calib-batch " CALIB_BATCH_VERSION, "print the version and exit");
  const std::string self = selfPath();
  const CliDefaults defaults{self, (fs::path(self).parent_path() / "calib.exe").string(),
                             ::isatty(STDERR_FILENO) == 1, std::max(1u, std::thread::hardware_concurrency())};
  std::vector<std::pair<CLI::App*, std::unique_ptr<Subcommand>>> commands;
  for (const SubcommandSpec& spec : subcommands()) {
    CLI::App* command = app.add_subcommand(spec.name, spec.description);
    if (spec.hidden) command->group("");
    commands.emplace_back(command, spec.make(*command, defaults));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  for (const auto& [parsed, command] : commands) {
    if (!parsed->parsed()) continue;
    if (const std::string wrong = command->usageError(); !wrong.empty()) {
      printError(wrong);
      return kExitUsage;
    }
    return finish(command->run(Printer{fdSink(STDOUT_FILENO), fdSink(STDERR_FILENO), false}));
  }
  return kExitUsage;
}
