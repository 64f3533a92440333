// calib: gain calibration of a 32-channel front-end chip from a text file of
// ADC samples of test-pulse trains.
//
//   calib.exe [options] [--] chipstring config adcfilename
//
// main reads the options, checks the arguments, names the gain log and
// makes the one analysis call; analyse_file runs the phases in order and
// returns what went wrong, if anything, for main to report and turn into
// the exit status.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "analysis/bin_info.hpp"
#include "analysis/channel_quality.hpp"
#include "analysis/chip_summary.hpp"
#include "analysis/command_line.hpp"
#include "analysis/gain_curves.hpp"
#include "analysis/gain_fit.hpp"
#include "analysis/results_json.hpp"
#include "analysis/run_setup.hpp"
#include "analysis/sample_stream.hpp"
#include "analysis/shutdown.hpp"
#include "support/diagnostic.hpp"
#include "support/int_fields.hpp"
#include "support/out_buffer.hpp"
#include "support/output_file.hpp"
#include "support/plot.hpp"
#include "support/progress.hpp"

namespace calib {

namespace {

// Turns the way the reading loop ended into what the user is told.
void reportStreamEnd(const StreamSummary& summary, const std::string& adcFile, Diagnostics& diagnostics) {
  const std::string next = std::to_string(summary.nLines + 1);
  switch (summary.end) {
    case LineReader::Status::Line:
    case LineReader::Status::End:
      break;
    case LineReader::Status::MissingFinalLineFeed:
      diagnostics.push_back(Diagnostic::warning("ADC file '" + adcFile + "': line " + next +
                                                " has no line feed at the end of the file and was not read"));
      break;
    case LineReader::Status::LineTooLong:
      diagnostics.push_back(
          Diagnostic::error("ADC file '" + adcFile + "': line " + next + " has " + std::to_string(kMaxLineLength) +
                            " or more characters; reading stopped there and the rest of the file was ignored"));
      break;
    case LineReader::Status::ReadError:
      diagnostics.push_back(Diagnostic::error("error reading ADC file '" + adcFile + "' after line " +
                                              std::to_string(summary.nLines) + ": " + summary.readError.message() +
                                              "; the rest of the file was ignored"));
      break;
  }
}

}  // namespace

// What the options change in a run.
struct AnalysisOptions {
  std::string chipString;  // as typed, for the JSON results
  bool writeJson = true;
  Commentary commentary = Commentary::On;
  bool progress = false;  // a progress line on standard error while reading
};

Diagnostics analyse_file(int chip, const std::string& config, const std::string& adcFile, const std::string& logFile,
                         OutBuffer& console, const AnalysisOptions& options) {
  Diagnostics diagnostics;
  std::optional<RunSetup> setup =
      setUpRun(RunArgs{chip, config, adcFile, logFile, options.writeJson}, console, diagnostics);
  if (!setup) return diagnostics;
  RunSetup& run = *setup;

  LineReader reader(run.adc.fd());
  StreamOptions streamOptions{options.commentary, {}};
  std::optional<ProgressMeter> progress;
  if (options.progress) {
    progress.emplace(run.adc.size().value_or(0), fdTextSink(STDERR_FILENO));
    streamOptions.progress = [&progress](std::uint64_t bytes) { progress->update(bytes); };
  }
  const StreamSummary stream = readSampleStream(reader, run.preset, run.hists, console, streamOptions);
  if (progress) progress->finish();
  reportStreamEnd(stream, adcFile, diagnostics);

  writeBinInfo(run.binInfo.out(), run.hists, run.imodulus);
  const GainCurves curves = buildGainCurves(run.hists, run.preset, console);
  const PlotTarget plots{chip, run.plotDir, run.plotDirReady};
  const std::vector<ChannelGain> gains = fitGains(curves, run.preset, plots, run.gainLog.out(), console, diagnostics);
  writeChipSummary(gains, plots, diagnostics);
  if (run.results) {
    const QualityReport quality = assessChannels(run.hists, curves, gains, run.preset);
    const RunRecord record{options.chipString, chip, config, adcFile, run.adc.size(), stream};
    writeResultsJson(record, run.preset, quality, run.results->out());
  }
  shutDown(run, diagnostics);
  return diagnostics;
}

// The gain log lies in the ADC file's directory: the text before its last
// "/", or the working directory when the path has no "/".
std::string gainLogPath(const std::string& chipstring, const std::string& config, const std::string& adcFile) {
  const std::size_t slash = adcFile.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : adcFile.substr(0, slash);
  return dir + "/gain_kelta" + chipstring + "_" + config + ".log";
}

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they were
// not: otherwise the first file the run opens would take one of their
// numbers, and the commentary would be written into the gain log.
struct StandardDescriptors {
  bool secured = true;     // all three are open now
  bool stdoutOpen = true;  // standard output was open at start
};

StandardDescriptors secureStandardDescriptors() {
  StandardDescriptors result;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) result.stdoutOpen = false;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened < 0) result.secured = false;
    if (opened > fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  return result;
}

// A terminating signal removes the temporary files of the unfinished
// outputs, then ends the process by the same signal, so that whoever
// started the run sees how it ended. The previous outputs stay as they were.
extern "C" void onTerminationSignal(int sig) {
  removeLiveTemporaries();
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered when the handler returns
}

// A signal that was ignored at start (a run started with nohup, or in the
// background by a shell without job control) stays ignored.
void installTerminationHandlers() {
  for (const int sig : kTerminationSignals) {
    struct sigaction previous {};
    if (::sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int other : kTerminationSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    ::sigaction(sig, &action, nullptr);
  }
}

OutBuffer::Sink closedSink() {
  return [](std::string_view) { return std::error_code(EBADF, std::generic_category()); };
}

}  // namespace calib

int main(int argc, char** argv) {
  using namespace calib;
  // fontconfig prints debug text to standard output when this is set, which
  // would corrupt the commentary.
  ::unsetenv("FC_DEBUG");
  // A closed standard output is reported as a write error at the end; the
  // run still completes its files.
  std::signal(SIGPIPE, SIG_IGN);
  installTerminationHandlers();

  const PlotLibraries plotLibraries;

  const StandardDescriptors standard = secureStandardDescriptors();
  if (!standard.secured) return 1;  // nowhere to report it, and no file would be safe
  OutBuffer console(standard.stdoutOpen ? fdSink(STDOUT_FILENO) : closedSink());
  console.setLineBuffered(::isatty(STDOUT_FILENO) == 1);

  const CommandLine commandLine = parseCommandLine(argc, argv);
  if (!commandLine.error.empty()) {
    std::fprintf(stderr, "calib: %s\n", commandLine.error.c_str());
    return 255;
  }
  if (commandLine.help || commandLine.version) {
    console.put(commandLine.help ? helpText() : versionText());
    if (console.flush()) return 0;
    std::fprintf(stderr, "calib: cannot write standard output: %s\n", console.error().message().c_str());
    return 1;
  }
  // The usage text counts the program and its arguments, not the options.
  const int nArgs = static_cast<int>(commandLine.args.size()) + 1;
  if (nArgs <= 3) {
    console.put("not enough arguments: argc = " + std::to_string(nArgs) +
                "\nSyntax should be:\n./calib.exe chipstring config adcfilename\n");
    console.put(
        "Example:\n./calib.exe 100000 20mV_calib-odd "
        "/home/tpc/robot/20180725/123510_kelta100000/123510_kelta100000_dunor00_link00_20mV_calib-odd_adc.txt\n");
    console.flush();
    return 255;
  }

  const std::string chipstring = commandLine.args[0];
  const std::string config = commandLine.args[1];
  const std::string adcFile = commandLine.args[2];
  const int chip = atoiSaturating(chipstring);
  const std::string logFile = gainLogPath(chipstring, config, adcFile);
  console.put("outfile = " + logFile + "\n");

  const AnalysisOptions options{chipstring, commandLine.writeJson,
                                commandLine.quiet ? Commentary::Off : Commentary::On,
                                showProgress(commandLine, ::isatty(STDERR_FILENO) == 1, ::isatty(STDOUT_FILENO) == 1)};
  Diagnostics diagnostics = analyse_file(chip, config, adcFile, logFile, console, options);
  if (!console.flush())
    diagnostics.push_back(Diagnostic::error("cannot write standard output: " + console.error().message()));

  for (const Diagnostic& d : diagnostics) {
    const char* kind = d.severity == Diagnostic::Severity::Warning ? "warning: " : "";
    std::fprintf(stderr, "calib: %s%s\n", kind, d.message.c_str());
  }
  return hasError(diagnostics) ? 1 : 0;
}
