// The command line: options first, then the three arguments.
//
//   calib.exe [options] [--] chipstring config adcfilename
//
// Only words that begin with "--" are options, so a chip string such as
// "-5" is still an argument; "--" ends the options, and the first word
// that is not an option ends them too. Without options the command line
// means exactly what it always has.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calib {

// The exit statuses of calib.exe.
enum ExitStatus : int {
  kExitSuccess = 0,  // the run completed; warnings may have been printed
  kExitError = 1,    // an input that cannot be read, an output that cannot be written
  kExitUsage = 255,  // fewer than three arguments, or an unknown option
};

struct CommandLine {
  bool help = false;
  bool version = false;
  bool writeJson = true;          // --no-json turns the JSON results off
  bool quiet = false;             // no per-line and per-window commentary
  std::optional<bool> progress;   // --progress / --no-progress; unset: decided by the terminals
  std::optional<std::string> outputDir;  // --output-dir: where the gain log and its companions go
  bool sha256 = false;                   // --sha256: the JSON records the ADC file's SHA-256
  std::vector<std::string> args;      // the words after the options
  std::vector<std::string> warnings;  // words after the three arguments that look like options
  std::string error;                  // set for an unknown option; nothing else is then valid
};

// Reads argv[1] … argv[argc - 1]. Options are read left to right up to the
// first error; the last of --progress and --no-progress wins.
CommandLine parseCommandLine(int argc, const char* const* argv);

// The text of --help: usage, options, outputs and exit statuses.
std::string helpText();

// The text printed for too few arguments; nArgs counts the program and the
// arguments, not the options.
std::string usageText(int nArgs);

// What standard error says beside the usage text: the arguments missing
// after the given ones, by the names the usage text gives them
// ("missing argument adcfilename").
std::string missingArgumentsText(std::size_t given);

// "calib VERSION\n", the text of --version.
std::string versionText();

// Progress is shown when asked for, and otherwise only when standard error
// is a terminal and standard output is not (a person watching a run whose
// commentary goes to a file).
bool showProgress(const CommandLine& commandLine, bool stderrIsTerminal, bool stdoutIsTerminal);

}  // namespace calib
