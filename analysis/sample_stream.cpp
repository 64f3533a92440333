#include "analysis/sample_stream.hpp"

#include <cstdint>

#include "support/format.hpp"
#include "support/int_fields.hpp"

namespace calib {

static_assert(LineReader::kMaxLineChars == kMaxLineLength - 1, "a line fills the line buffer but its terminator");

namespace {

constexpr std::size_t kLineTextBound = 128;

void printLineCommentary(const StreamState& state, OutBuffer& console) {
  char* p = console.reserve(kLineTextBound);
  p = writeText(p, "line ");
  p = writeInt(p, state.nLines);
  p = writeText(p, " sample0 adc ");
  p = writeInt(p, state.lineValues[0]);
  p = writeText(p, " nsamples ");
  p = writeInt(p, state.nsamples);
  p = writeText(p, " nZerosInARow ");
  p = writeInt(p, state.nZerosInARow);
  *p++ = '\n';
  console.commit(p);
  console.flushLine();
}

}  // namespace

void processLine(std::string_view line, StreamState& state, const DetectorPreset& preset, HistogramSet& hists,
                 OutBuffer& console, Commentary commentary) {
  ++state.nLines;
  const int nValues = parseIntFields(line, state.lineValues.data(), kNChan);
  int nZerosLine = 0;
  for (int c = 0; c < nValues; ++c) nZerosLine += state.lineValues[static_cast<std::size_t>(c)] <= kLowValueLimit;

  if (nZerosLine > kMinZerosLine) {
    if (state.nsamples > preset.nPeakBins) {
      analyseWindow(state.adcSamples, state.nsamples, preset, hists, console, commentary);
      ++state.windowsAnalysed;
    }
    ++state.nZerosInARow;
  } else {
    if (state.nZerosInARow >= kMinZeroSamples) {
      hists.hZeroBins.fill(static_cast<double>(state.nZerosInARow));
      ++state.zeroRunsRecorded;
      state.nsamples = 0;
    }
    if (state.nsamples >= kMaxSample) state.nsamples = 0;
    state.nZerosInARow = 0;
    state.adcSamples.store(state.nsamples, state.lineValues);
    ++state.nsamples;
  }
  if (commentary == Commentary::On) printLineCommentary(state, console);
}

StreamSummary readSampleStream(LineReader& reader, const DetectorPreset& preset, HistogramSet& hists,
                               OutBuffer& console, const StreamOptions& options) {
  StreamState state;
  std::string_view line;
  LineReader::Status status;
  // Without a progress report the next report is never due.
  std::uint64_t nextReport = options.progress ? kProgressIntervalBytes : UINT64_MAX;
  while ((status = reader.next(line)) == LineReader::Status::Line) {
    processLine(line, state, preset, hists, console, options.commentary);
    if (reader.bytesConsumed() >= nextReport) {
      options.progress(reader.bytesConsumed());
      nextReport = reader.bytesConsumed() + kProgressIntervalBytes;
    }
  }
  if (options.progress) options.progress(reader.bytesConsumed());
  return StreamSummary{status, reader.error(), state.nLines, state.windowsAnalysed, state.zeroRunsRecorded};
}

}  // namespace calib
