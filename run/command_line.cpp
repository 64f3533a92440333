#include "run/command_line.hpp"

#include <iterator>

#include "core/version.hpp"

namespace calib {

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--") {
      ++i;
      break;
    }
    if (word.size() <= 2 || word.substr(0, 2) != "--") break;
    if (word == "--help") {
      result.help = true;
    } else if (word == "--version") {
      result.version = true;
    } else if (word == "--no-json") {
      result.writeJson = false;
    } else if (word == "--quiet") {
      result.quiet = true;
    } else if (word == "--sha256") {
      result.sha256 = true;
    } else if (word == "--progress") {
      result.progress = true;
    } else if (word == "--no-progress") {
      result.progress = false;
    } else if (word == "--output-dir" || word.starts_with("--output-dir=")) {
      // The directory is the next word, or what follows "=".
      std::string_view dir;
      if (word.size() > std::string_view("--output-dir").size()) {
        dir = word.substr(std::string_view("--output-dir=").size());
      } else if (i + 1 < argc) {
        dir = argv[++i];
      }
      if (dir.empty()) {
        result.error = "option '--output-dir' needs a directory";
        return result;
      }
      result.outputDir = std::string(dir);
    } else {
      result.error = "unknown option '" + std::string(word) + "'; 'calib.exe --help' lists the options";
      return result;
    }
  }
  for (; i < argc; ++i) result.args.emplace_back(argv[i]);
  for (std::size_t k = 3; k < result.args.size(); ++k)
    if (result.args[k].starts_with("--"))
      result.warnings.push_back("'" + result.args[k] +
                                "' after the three arguments is ignored; options go before the arguments");
  return result;
}

bool showProgress(const CommandLine& commandLine, bool stderrIsTerminal, bool stdoutIsTerminal) {
  return commandLine.progress.value_or(stderrIsTerminal && !stdoutIsTerminal);
}

std::string usageText(int nArgs) {
  return "not enough arguments: argc = " + std::to_string(nArgs) +
         "\nSyntax should be:\n./calib.exe chipstring config adcfilename\n"
         "Example:\n./calib.exe 100000 20mV_calib-odd "
         "/home/tpc/robot/20180725/123510_kelta100000/123510_kelta100000_dunor00_link00_20mV_calib-odd_adc.txt\n";
}

std::string missingArgumentsText(std::size_t given) {
  static constexpr const char* kArgumentNames[] = {"chipstring", "config", "adcfilename"};
  constexpr std::size_t kCount = std::size(kArgumentNames);
  if (given >= kCount) return "";
  std::string text = kCount - given == 1 ? "missing argument " : "missing arguments ";
  for (std::size_t i = given; i < kCount; ++i)
    text += std::string(i == given ? "" : i + 1 == kCount ? " and " : ", ") + kArgumentNames[i];
  return text;
}

std::string versionText() { return "calib " + std::string(kCalibVersion) + "\n"; }

std::string helpText() {
  return R"(Usage: calib.exe [options] [--] chipstring config adcfilename

Measures the gain of every channel of a 32-channel readout chip from the ADC
samples of a calibration run with test-pulse trains.

Arguments:
  chipstring   chip identifier; its number (as atoi reads it) names the plot
               directory, the text as typed names the gain log
  config       run configuration, e.g. 20mV_calib-odd: "4mV" in it selects
               MuCh (else TPC), "odd" lists odd channels in the statistics
  adcfilename  the ADC sample file: a line per time sample, one
               blank-separated integer per channel

Options (before the arguments; "--" ends them):
  --no-json      do not write the JSON results, and remove those of an
                 earlier run beside the gain log once the new one is in place
  --quiet        leave out the commentary line of every input line and every
                 window measurement; the set-up, channel and point lines stay
  --progress     show a progress line on standard error while reading
  --no-progress  do not; by default it is shown only when standard error is a
                 terminal and standard output is not
  --sha256       record the SHA-256 of the ADC file (its bytes as stored) in
                 the JSON results, which then identify their input
  --output-dir DIR
                 write the gain log, the .bininfo file and the JSON results
                 into DIR (which must exist) instead of the ADC file's
                 directory; the plots still go below the working directory
  --help         print this text and exit
  --version      print the version and exit

Outputs:
  standard output                      the commentary of the run
  DIR/gain_kelta<chip>_<config>.log    the gain table, DIR being the ADC
                                       file's directory or --output-dir
  DIR/gain_kelta<chip>_<config>.log.bininfo
                                       zero-run lengths and pulse positions
  DIR/gain_kelta<chip>_<config>.log.json
                                       the results for programs: per channel
                                       fit, status, noise, ENC, linearity
  png/calib/<chip number>/<config>/    the plots of every channel and of the
                                       chip
Each file replaces an earlier one of its name only once it is complete.

Exit status:
  0    the run completed; warnings may have been printed on standard error
  1    an error: an input that cannot be read, an output that cannot be
       written; standard error says which
  255  fewer than three arguments, or an unknown option
)";
}

}  // namespace calib
