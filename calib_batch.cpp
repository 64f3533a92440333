// calib-batch: production calibration over a test stand's tree. Finds the
// ADC files, analyses each with calib (a process per file, several at
// once), records every run with its verdict in a results database (SQLite
// or PostgreSQL), and lists chips, a chip's history and everything
// recorded.
//
//   calib-batch init [--db URL] [--out DIR] [--criteria FILE] [--name-pattern REGEX]
//                    [--settle S] [--ready-suffix SUFFIX] [--report DIR] [PATH...]
//   calib-batch watch [run options] [--rescan S] [--poll] [--on-verdict PROGRAM]
//                     [--report DIR] [--report-every S] [--grace S] [PATH...]
//   calib-batch run [--out DIR] [--db URL] [--jobs N] [--criteria FILE]
//                   [--name-pattern REGEX] [--force] [--dry-run] PATH...
//   calib-batch ingest [--db URL] [--criteria FILE] RESULTS.json...
//   calib-batch chips [--db URL] [--failed] [--format table|csv|json]
//   calib-batch history [--db URL] [--format table|csv|json] CHIP
//   calib-batch export [--db URL] [--all] [--what runs|channels] [--format csv|json]
//                      [--chip CHIP]... [--config PATTERN] [--since DATE] [--until DATE]
//   calib-batch submit --slurm [run options] [--partition P] [--files-per-task K]
//                      [--max-parallel M] [--sbatch-arg ARG]... PATH...
//   calib-batch submit --resume BATCH [--out DIR] [--partition P] …
//   calib-batch status [--out DIR] BATCH
//   calib-batch wait [--out DIR] [--timeout SECONDS] BATCH
//   calib-batch report [--db URL] [--out DIR] [--since DATE] [--config PATTERN]
//   calib-batch criteria
//   calib-batch --version
//
// Every command but init takes the settings of the stand configuration
// (calib-batch.toml, stand_config.hpp) its command line does not give.
// The subcommands are the table of production/cli/subcommands.cpp. Exit
// status: 0 when everything was analysed and recorded (a chip that fails
// is a result, not an error), 1 when a file could not be analysed or
// recorded or the database could not be used, 2 for a usage error (a
// misspelt command is answered with the nearest names); a command stopped
// by a termination signal ends by that signal.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "production/cli/stand_options.hpp"
#include "production/cli/subcommands.hpp"
#include "production/command/command.hpp"
#include "support/process.hpp"
#include "support/utf8.hpp"

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

void printError(const std::string& message) { fdSink(STDERR_FILENO)(messageLine(message)); }

// The edits from a to b: an insertion, a deletion, a substitution or a swap
// of neighbours counts one ("rnu" is one from "run").
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// How far a word is from a command's name when it is near enough to be
// meant: the start of the name (two letters at least), or one edit from a
// name of up to four letters and two from a longer one. A hidden command
// (a job of a batch) only when typed almost exactly: one edit.
std::optional<std::size_t> nearness(std::string_view word, std::string_view name, bool hidden) {
  if (!hidden && word.size() >= 2 && name.starts_with(word)) return 0;
  const std::size_t edits = editDistance(word, name);
  const std::size_t allowed = hidden || name.size() <= 4 ? 1 : 2;
  if (edits > allowed) return std::nullopt;
  return edits;
}

// What to say of a word that names none of the commands: the nearest of
// them, or all that are listed in the help. path: the commands before it.
std::string unknownCommandMessage(const std::string& path, const std::string& word,
                                  const std::vector<const CLI::App*>& commands) {
  std::vector<std::string> nearest;
  std::string listed;
  std::size_t best = std::numeric_limits<std::size_t>::max();
  for (const CLI::App* command : commands) {
    const bool hidden = command->get_group().empty();
    if (!hidden) listed += (listed.empty() ? "" : ", ") + path + command->get_name();
    const std::optional<std::size_t> near = nearness(word, command->get_name(), hidden);
    if (!near || *near > best) continue;
    if (*near < best) nearest.clear();
    best = *near;
    nearest.push_back("'" + path + command->get_name() + "'");
  }
  std::string message = "unknown command '" + path + word + "'; ";
  if (nearest.empty()) return message + "the commands are " + listed;
  message += "did you mean " + nearest[0];
  for (std::size_t i = 1; i < nearest.size(); ++i) message += (i + 1 == nearest.size() ? " or " : ", ") + nearest[i];
  return message + "?";
}

// When the command line CLI11 refused has a word where a command belongs
// that names none, what to say of it; empty when it is wrong in another
// way, which CLI11 then says. The words are followed down the commands
// while each names one (options of a command that has commands take no
// values).
std::string unknownCommand(const CLI::App& app, int argc, const char* const* argv) {
  const CLI::App* level = &app;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.starts_with("-")) {
      if (level->get_option_no_throw(word) == nullptr) return "";
      continue;
    }
    const std::vector<const CLI::App*> commands = level->get_subcommands([](const CLI::App*) { return true; });
    if (commands.empty()) return "";
    const auto named = std::find_if(commands.begin(), commands.end(),
                                    [&](const CLI::App* command) { return command->check_name(word); });
    if (named == commands.end()) return unknownCommandMessage(path, word, commands);
    level = *named;
    path += word + " ";
  }
  return "";
}

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
  // Writes that fail are reported as such: to a closed pipe, and past the
  // file-size limit (EFBIG, "File too large"), where the signal would end
  // the program without a word or a summary.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{
      "calib-batch: calibrates chips by the batch, records every run with its verdict in a results "
      "database, and lists them."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "the help of every command");
  app.set_version_flag("--version", "calib-batch " CALIB_BATCH_VERSION, "print the version and exit");
  // The stand configuration: given here, before or after the command
  // (report's own --config is its configuration filter).
  std::string configGiven;
  app.add_option("--config", configGiven,
                 "the stand configuration [$" + std::string(kStandConfigVariable) + ", else ./" + kStandConfigName +
                     " or the first one in a parent directory]");
  app.fallthrough();
  StandConfig stand;
  const std::string self = selfPath();
  const CliDefaults defaults{self,
                             (fs::path(self).parent_path() / "calib.exe").string(),
                             ::isatty(STDERR_FILENO) == 1,
                             std::max(1u, std::thread::hardware_concurrency()),
                             &stand,
                             &configGiven};
  struct Command {
    const SubcommandSpec* spec;
    CLI::App* app;
    std::unique_ptr<Subcommand> subcommand;
  };
  std::vector<Command> commands;
  for (const SubcommandSpec& spec : subcommands()) {
    CLI::App* command = app.add_subcommand(spec.name, spec.description);
    if (spec.hidden) command->group("");
    commands.push_back({&spec, command, spec.make(*command, defaults)});
  }
  checkOptionValues(app);
  // A usage error quotes the value given: its control bytes escaped, as
  // every message shows them.
  app.failure_message([](const CLI::App* command, const CLI::Error& e) {
    std::string text = CLI::FailureMessage::simple(command, e);
    const std::string_view what = e.what();
    if (text.starts_with(what)) text = terminalText(what) + text.substr(what.size());
    return text;
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (const std::string unknown = unknownCommand(app, argc, argv); !unknown.empty()) {
      printError(unknown);
    } else {
      app.exit(e);
    }
    return kExitUsage;
  }
  for (const auto& [spec, parsed, command] : commands) {
    if (!parsed->parsed()) continue;
    if (spec->readsConfig) {
      std::error_code error;
      const std::string file = findStandConfig(configGiven, kStandConfigVariable, fs::current_path(error));
      if (!file.empty()) {
        Result<StandConfig> read = loadStandConfig(file);
        if (!read) {
          printError(read.error().message);
          return kExitUsage;
        }
        stand = std::move(*read);
        if (Result<void> applied = applyStandConfig(*parsed, stand); !applied) {
          printError(applied.error().message);
          return kExitUsage;
        }
      }
    }
    if (const std::string wrong = command->usageError(); !wrong.empty()) {
      printError(wrong);
      return kExitUsage;
    }
    return finish(command->run(Printer{fdSink(STDOUT_FILENO), fdSink(STDERR_FILENO), false}));
  }
  return kExitUsage;
}
