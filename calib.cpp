// calib: gain calibration of a 32-channel front-end chip from a text file of
// ADC samples of test-pulse trains.
//
//   calib.exe [options] [--] chipstring config adcfilename
//
// main reads the options, checks the arguments, names the outputs and makes
// the one analysis call; it alone reports what went wrong and turns it into
// the exit status.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/output_paths.hpp"
#include "run/analyse_file.hpp"
#include "run/command_line.hpp"
#include "support/byte_sink.hpp"
#include "support/diagnostic.hpp"
#include "support/out_buffer.hpp"
#include "support/plot.hpp"
#include "support/signal_cleanup.hpp"
#include "support/standard_descriptors.hpp"

namespace {

// Where the commentary goes when standard output was closed at start: every
// write fails, and the failure is reported at the end.
calib::ByteSink closedSink() {
  return [](std::string_view) { return std::error_code(EBADF, std::generic_category()); };
}

}  // namespace

int main(int argc, char** argv) {
  using namespace calib;
  // fontconfig prints debug text to standard output when this is set, which
  // would corrupt the commentary.
  ::unsetenv("FC_DEBUG");
  // A closed standard output is reported as a write error at the end; the
  // run still completes its files. So is a file grown past the size limit
  // (ulimit -f): the write fails with EFBIG instead of the signal ending
  // the run without a word.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  installTerminationHandlers();

  const PlotLibraries plotLibraries;

  const StandardDescriptors standard = secureStandardDescriptors();
  if (!standard.secured) return kExitError;  // nowhere to report it, and no file would be safe
  OutBuffer console(standard.stdoutOpen ? fdSink(STDOUT_FILENO) : closedSink());
  console.setLineBuffered(::isatty(STDOUT_FILENO) == 1);

  const CommandLine commandLine = parseCommandLine(argc, argv);
  if (!commandLine.error.empty()) {
    std::fprintf(stderr, "calib: %s\n", commandLine.error.c_str());
    return kExitUsage;
  }
  if (commandLine.help || commandLine.version) {
    console.put(commandLine.help ? helpText() : versionText());
    const std::error_code error = console.flush();
    if (!error) return kExitSuccess;
    std::fprintf(stderr, "calib: cannot write standard output: %s\n", error.message().c_str());
    return kExitError;
  }
  // The usage text counts the program and its arguments, not the options.
  const int nArgs = static_cast<int>(commandLine.args.size()) + 1;
  if (nArgs <= 3) {
    console.put(usageText(nArgs));
    console.flush();
    std::fprintf(stderr, "calib: %s\n", missingArgumentsText(commandLine.args.size()).c_str());
    return kExitUsage;
  }

  const RunRequest request = runRequest(commandLine.args[0], commandLine.args[1], commandLine.args[2]);
  const OutputPaths paths = outputPaths(request, commandLine.outputDir.value_or(""));
  console.put("outfile = " + paths.gainLog + "\n");

  AnalysisOptions options;
  options.writeJson = commandLine.writeJson;
  options.commentary = commandLine.quiet ? Commentary::Off : Commentary::On;
  options.sha256 = commandLine.sha256;
  if (showProgress(commandLine, ::isatty(STDERR_FILENO) == 1, ::isatty(STDOUT_FILENO) == 1))
    options.progress = fdSink(STDERR_FILENO);
  Diagnostics diagnostics;
  for (const std::string& warning : commandLine.warnings) diagnostics.push_back(Diagnostic::warning(warning));
  for (Diagnostic& d : analyse_file(request, paths, console, options)) diagnostics.push_back(std::move(d));
  if (const std::error_code error = console.flush())
    diagnostics.push_back(Diagnostic::error("cannot write standard output: " + error.message()));

  for (const Diagnostic& d : diagnostics) {
    const char* kind = d.severity == Diagnostic::Severity::Warning ? "warning: " : "";
    std::fprintf(stderr, "calib: %s%s\n", kind, d.message.c_str());
  }
  return hasError(diagnostics) ? kExitError : kExitSuccess;
}
