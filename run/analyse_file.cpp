#include "run/analyse_file.hpp"

#include <optional>
#include <thread>
#include <vector>

#include "analysis/bin_info.hpp"
#include "analysis/channel_quality.hpp"
#include "analysis/chip_summary.hpp"
#include "analysis/gain_curves.hpp"
#include "analysis/gain_fit.hpp"
#include "analysis/results_json.hpp"
#include "analysis/run_setup.hpp"
#include "analysis/sample_stream.hpp"
#include "analysis/shutdown.hpp"
#include "support/plot.hpp"
#include "support/progress.hpp"
#include "support/sha256.hpp"
#include "support/signal_cleanup.hpp"

namespace calib {

namespace {

// The plots are drawn on two threads: one a core.
constexpr unsigned kPlotThreads = 2;

// What a file that is not text looks like; empty for text.
std::string notText(const InputCounts& input) {
  if (input.content != Content::Text) return "it looks like " + std::string(contentName(input.content)) + "-compressed data";
  if (input.linesWithNul == 0) return "";
  return std::to_string(input.linesWithNul) + (input.linesWithNul == 1 ? " line holds" : " lines hold") +
         " NUL bytes";
}

// Turns what the reading loop met into what the user is told: input that
// is not text, the way reading ended, and a file in which no pulse train
// was found.
void reportReading(const StreamSummary& summary, const std::string& adcFile, Diagnostics& diagnostics) {
  if (const std::string what = notText(summary.input); !what.empty())
    diagnostics.push_back(Diagnostic::warning("ADC file '" + adcFile + "' is not a text file: " + what));
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
    case LineReader::Status::ReadError: {
      // In compressed data the place of the fault is a byte of the file.
      const std::string where =
          summary.compression == Compression::None
              ? ""
              : " (" + std::string(compressionName(summary.compression)) + " data, at byte " +
                    std::to_string(summary.inputBytes) + " of the file)";
      diagnostics.push_back(Diagnostic::error("error reading ADC file '" + adcFile + "' after line " +
                                              std::to_string(summary.nLines) + where + ": " +
                                              summary.readError.message() + "; the rest of the file was ignored"));
      break;
    }
  }
  if (summary.windowsAnalysed == 0)
    diagnostics.push_back(Diagnostic::warning("ADC file '" + adcFile +
                                              "': no pulse train was found (no window was analysed); the gain "
                                              "table is empty"));
}

// Reads the ADC file through the reading loop; hash, when given, takes in
// every byte read.
StreamSummary readAdcFile(RunSetup& run, OutBuffer& console, const AnalysisOptions& options, Sha256* hash) {
  const std::unique_ptr<ByteSource> source = openSource(run.adc.fd(), hash);
  StreamOptions streamOptions{options.commentary, {}};
  std::optional<ProgressMeter> progress;
  if (options.progress) {
    progress.emplace(run.adc.size().value_or(0), options.progress);
    streamOptions.progress = [&progress](std::uint64_t bytes) { progress->update(bytes); };
  }
  const StreamSummary stream = readSampleStream(*source, run.preset, run.hists, console, streamOptions);
  if (progress) progress->finish();
  return stream;
}

void append(Diagnostics& diagnostics, std::optional<Diagnostic> d) {
  if (d) diagnostics.push_back(std::move(*d));
}

}  // namespace

Diagnostics analyse_file(const RunRequest& request, const OutputPaths& paths, OutBuffer& console,
                         const AnalysisOptions& options) {
  Diagnostics diagnostics;
  std::optional<RunSetup> setup =
      setUpRun(request, paths, options.writeJson, console, diagnostics);
  if (!setup) return diagnostics;
  RunSetup& run = *setup;
  // The fonts load while the file is read.
  std::jthread fonts;
  if (run.plotDirReady) {
    const TerminationSignalsBlocked blocked;
    fonts = std::jthread(preparePlotting);
  }

  std::optional<Sha256> hash;
  if (options.sha256) hash.emplace();
  const StreamSummary stream = readAdcFile(run, console, options, hash ? &*hash : nullptr);
  reportReading(stream, request.adcFile, diagnostics);
  // The hash covers the whole file, also when the reading stopped early.
  std::optional<std::string> sha256;
  if (hash) {
    Result<std::string, std::error_code> rest = sha256OfRest(run.adc.fd(), *hash);
    if (rest) {
      sha256 = std::move(*rest);
    } else {
      diagnostics.push_back(
          Diagnostic::error("cannot read ADC file '" + request.adcFile + "' to its end for its SHA-256: " +
                            rest.error().message()));
    }
  }

  writeBinInfo(run.binInfo.out(), run.hists, run.imodulus);
  const GainCurves curves = buildGainCurves(run.hists, run.preset, console);

  const ChannelFits fits = fitGains(curves, run.preset);
  printPointCounts(curves, console);
  writeGainRows(fits, run.gainLog.out());
  const ChannelDiagnostics warnings = fitWarnings(fits, run.preset);
  std::vector<PlotFile> plots = channelPlotFiles(curves, fits, run.preset, paths);
  for (PlotFile& summary : summaryPlotFiles(fits, paths)) plots.push_back(std::move(summary));
  if (fonts.joinable()) fonts.join();
  std::vector<std::error_code> plotErrors;
  if (run.plotDirReady) plotErrors = savePlots(plots, kPlotThreads);
  // A channel's warning comes before its plot's error, channel by channel,
  // and the two summaries come last.
  std::size_t plot = 0;
  const auto plotResult = [&](std::size_t k) {
    if (k < plotErrors.size() && plotErrors[k]) diagnostics.push_back(plotError(plots[k].path, plotErrors[k]));
  };
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    append(diagnostics, warnings[static_cast<std::size_t>(ichan)]);
    if (fits[static_cast<std::size_t>(ichan)].attempted) plotResult(plot++);
  }
  for (; plot < plots.size(); ++plot) plotResult(plot);

  if (run.results) {
    const QualityReport quality = assessChannels(run.hists, curves, fits, run.preset);
    const RunRecord record{request.chipString, request.chip, request.config, request.adcFile,
                           run.adc.size(),     sha256,       stream};
    writeResultsJson(record, run.preset, quality, run.results->out());
  }
  shutDown(run, diagnostics);
  return diagnostics;
}

}  // namespace calib
