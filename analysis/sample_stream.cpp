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

// Out of line: most files have no such line, and the reading loop stays
// small.
[[gnu::noinline, gnu::cold]] void countUnusualLine(int nValues, const TokenCounts& tokens, InputCounts& input) {
  input.linesWithFewerValues += nValues < kNChan;
  input.linesWithMoreValues += tokens.more;
  input.tokensNotNumbers += tokens.notNumbers;
  input.linesWithNul += tokens.nul;
}

}  // namespace

Content contentOf(std::string_view firstLine) {
  const auto startsWith = [&](std::string_view signature) { return firstLine.substr(0, signature.size()) == signature; };
  using namespace std::string_view_literals;
  if (startsWith("\x1f\x8b"sv)) return Content::Gzip;
  if (startsWith("\x28\xb5\x2f\xfd"sv)) return Content::Zstd;
  if (startsWith("\xfd" "7zXZ\0"sv)) return Content::Xz;
  if (startsWith("BZh"sv) && firstLine.size() > 3 && firstLine[3] >= '1' && firstLine[3] <= '9') return Content::Bzip2;
  return Content::Text;
}

namespace {

// The body of processLine, inlined into the reading loop: a call per line
// costs more than the counting of an ordinary line.
[[gnu::always_inline]] inline void handleLine(std::string_view line, StreamState& state, const DetectorPreset& preset,
                                              HistogramSet& hists, OutBuffer& console, Commentary commentary) {
  ++state.nLines;
  TokenCounts tokens;
  const int nValues = parseIntFields(line, state.lineValues.data(), kNChan, tokens);
  InputCounts& input = state.input;
  // Lines of exactly kNChan numbers and nothing else are the rule.
  if (nValues != kNChan || tokens.more || tokens.notNumbers != 0 || tokens.nul) [[unlikely]]
    countUnusualLine(nValues, tokens, input);
  int nZerosLine = 0;
  for (int c = 0; c < nValues; ++c) nZerosLine += state.lineValues[static_cast<std::size_t>(c)] <= kLowValueLimit;

  if (nZerosLine > kMinZerosLine) {
    ++input.zeroLines;
    if (state.nsamples > preset.nPeakBins) {
      analyseWindow(state.adcSamples, state.nsamples, preset, hists, console, commentary);
      ++state.windowsAnalysed;
    }
    ++state.nZerosInARow;
  } else {
    if (state.nZerosInARow >= kMinZeroSamples) {
      hists.hZeroBins.fill(static_cast<double>(state.nZerosInARow));
      ++state.zeroRunsRecorded;
      // A window still collecting here was too short to be analysed.
      input.windowsDropped += state.nsamples > 0;
      state.nsamples = 0;
    }
    if (state.nsamples >= kMaxSample) {
      ++input.windowsRestarted;
      state.nsamples = 0;
    }
    state.nZerosInARow = 0;
    state.adcSamples.store(state.nsamples, state.lineValues);
    ++state.nsamples;
  }
  if (commentary == Commentary::On) printLineCommentary(state, console);
}

}  // namespace

std::string_view contentName(Content content) {
  switch (content) {
    case Content::Gzip:
      return "gzip";
    case Content::Zstd:
      return "zstd";
    case Content::Xz:
      return "xz";
    case Content::Bzip2:
      return "bzip2";
    case Content::Text:
      break;
  }
  return "text";
}

void processLine(std::string_view line, StreamState& state, const DetectorPreset& preset, HistogramSet& hists,
                 OutBuffer& console, Commentary commentary) {
  handleLine(line, state, preset, hists, console, commentary);
}

StreamSummary readSampleStream(LineReader& reader, const DetectorPreset& preset, HistogramSet& hists,
                               OutBuffer& console, const StreamOptions& options) {
  StreamState state;
  std::string_view line;
  LineReader::Status status;
  // Without a progress report the next report is never due.
  std::uint64_t nextReport = options.progress ? kProgressIntervalBytes : UINT64_MAX;
  status = reader.next(line);
  if (status == LineReader::Status::Line) state.input.content = contentOf(line);
  for (; status == LineReader::Status::Line; status = reader.next(line)) {
    handleLine(line, state, preset, hists, console, options.commentary);
    if (reader.bytesConsumed() >= nextReport) {
      options.progress(reader.bytesConsumed());
      nextReport = reader.bytesConsumed() + kProgressIntervalBytes;
    }
  }
  if (options.progress) options.progress(reader.bytesConsumed());
  state.input.dataLines = state.nLines - state.input.zeroLines;
  return StreamSummary{status,          reader.error(),         state.nLines,
                       state.windowsAnalysed, state.zeroRunsRecorded, state.input};
}

}  // namespace calib
