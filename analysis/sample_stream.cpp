#include "analysis/sample_stream.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "support/format.hpp"
#include "support/handoff.hpp"
#include "support/int_fields.hpp"
#include "support/signal_cleanup.hpp"

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

Content contentOf(std::string_view head) {
  const auto startsWith = [&](std::string_view signature) { return head.substr(0, signature.size()) == signature; };
  using namespace std::string_view_literals;
  switch (compressionOf(head)) {
    case Compression::Gzip:
      return Content::Gzip;
    case Compression::Zstd:
      return Content::Zstd;
    case Compression::None:
      break;
  }
  if (startsWith("\xfd" "7zXZ\0"sv)) return Content::Xz;
  if (startsWith("BZh"sv) && head.size() > 3 && head[3] >= '1' && head[3] <= '9') return Content::Bzip2;
  return Content::Text;
}

namespace {

// The body of processLine after parsing, inlined into the reading loop: a
// call per line costs more than the counting of an ordinary line. The
// line's values are in state.lineValues[0 .. nValues).
[[gnu::always_inline]] inline void handleValues(int nValues, const TokenCounts& tokens, StreamState& state,
                                                const DetectorPreset& preset, HistogramSet& hists,
                                                OutBuffer& console, Commentary commentary) {
  ++state.nLines;
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
  TokenCounts tokens;
  const int nValues = parseIntFields(line, state.lineValues.data(), kNChan, tokens);
  handleValues(nValues, tokens, state, preset, hists, console, commentary);
}

namespace {

// The reading loop runs on two threads: one reads the file (decompressing
// it if need be) and cuts it into lines, the other classifies them, keeps
// the windows and writes the commentary. Lines pass between them in
// batches. Parsing a line's values is the work that can go either way:
// reading plain text is quick, and its reader parses a batch whenever the
// other thread is behind by kParseWhenWaiting batches; decompressing is
// about as much work as everything else, and the lines of a compressed file
// always pass as text. (Measured on a 1M-line run: parsing on the reader
// when only one batch waits loses to the moments the other thread takes
// to wake up; the compressed runs are quickest with no parsing there.)
constexpr int kBatchLines = 2048;
constexpr std::size_t kBatches = 4;
constexpr std::size_t kParseWhenWaiting = 2;

struct ParsedLine {
  std::array<int, kNChan> values;  // [0, nValues) set
  int nValues;
  TokenCounts tokens;
};

struct LineBatch {
  int count = 0;
  bool parsed = false;
  std::array<ParsedLine, kBatchLines> lines;    // when parsed
  std::string text;                             // when not: the lines, one after the other
  std::array<std::uint32_t, kBatchLines> ends;  // where each ends in text
  std::uint64_t inputBytes = 0;                 // of the source, read when the batch was complete
  // The last batch says why reading stopped.
  bool last = false;
  LineReader::Status end = LineReader::Status::End;
  std::error_code error;
  std::uint64_t textBytes = 0;
  Content content = Content::Text;  // of the first line; set in the first batch
};

using LineHandoff = Handoff<LineBatch, kBatches>;

void readLines(ByteSource& source, LineHandoff& handoff) {
  const bool plain = source.compression() == Compression::None;
  LineReader reader(source);
  std::string_view line;
  LineReader::Status status = reader.next(line);
  const Content content = contentOf(reader.head());
  for (;;) {
    LineBatch& batch = *handoff.acquire();
    batch.count = 0;
    batch.parsed = plain && handoff.waiting() >= kParseWhenWaiting;
    batch.text.clear();
    batch.content = content;
    for (; batch.count < kBatchLines && status == LineReader::Status::Line; status = reader.next(line)) {
      if (batch.parsed) {
        ParsedLine& parsed = batch.lines[static_cast<std::size_t>(batch.count)];
        parsed.nValues = parseIntFields(line, parsed.values.data(), kNChan, parsed.tokens);
      } else {
        batch.text.append(line);
        batch.ends[static_cast<std::size_t>(batch.count)] = static_cast<std::uint32_t>(batch.text.size());
      }
      ++batch.count;
    }
    batch.inputBytes = source.inputBytes();
    batch.last = status != LineReader::Status::Line;
    if (batch.last) {
      batch.end = status;
      batch.error = reader.error();
      batch.textBytes = reader.bytesRead();
    }
    handoff.publish(&batch);
    if (batch.last) return;
  }
}

}  // namespace

StreamSummary readSampleStream(ByteSource& source, const DetectorPreset& preset, HistogramSet& hists,
                               OutBuffer& console, const StreamOptions& options) {
  auto handoff = std::make_unique<LineHandoff>();
  std::thread reader;
  {
    // Termination signals are handled on this thread; the reader never
    // takes them.
    const TerminationSignalsBlocked blocked;
    reader = std::thread(readLines, std::ref(source), std::ref(*handoff));
  }
  StreamState state;
  StreamSummary summary{};
  for (bool first = true;; first = false) {
    LineBatch& batch = *handoff->take();
    if (first) state.input.content = batch.content;
    for (int i = 0; i < batch.count; ++i) {
      const std::size_t k = static_cast<std::size_t>(i);
      if (batch.parsed) {
        const ParsedLine& parsed = batch.lines[k];
        std::copy_n(parsed.values.begin(), parsed.nValues, state.lineValues.begin());
        handleValues(parsed.nValues, parsed.tokens, state, preset, hists, console, options.commentary);
      } else {
        const std::size_t begin = k == 0 ? 0 : batch.ends[k - 1];
        const std::string_view line(batch.text.data() + begin, batch.ends[k] - begin);
        TokenCounts tokens;
        const int nValues = parseIntFields(line, state.lineValues.data(), kNChan, tokens);
        handleValues(nValues, tokens, state, preset, hists, console, options.commentary);
      }
    }
    if (options.progress) options.progress(batch.inputBytes);
    const bool last = batch.last;
    if (last) {
      summary.end = batch.end;
      summary.readError = batch.error;
      summary.textBytes = batch.textBytes;
    }
    handoff->release(&batch);
    if (last) break;
  }
  reader.join();
  state.input.dataLines = state.nLines - state.input.zeroLines;
  summary.nLines = state.nLines;
  summary.windowsAnalysed = state.windowsAnalysed;
  summary.zeroRunsRecorded = state.zeroRunsRecorded;
  summary.input = state.input;
  summary.compression = source.compression();
  summary.inputBytes = source.inputBytes();
  return summary;
}

}  // namespace calib
