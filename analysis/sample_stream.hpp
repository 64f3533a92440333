// The ADC sample stream: reads the file line by line, tells data lines from
// zero lines, collects data lines into the window buffer, records long zero
// runs, hands every complete pulse-train window to the window analysis and
// prints one commentary line per input line.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <system_error>

#include "analysis/window_analysis.hpp"
#include "core/detector.hpp"
#include "core/histogram_set.hpp"
#include "support/byte_source.hpp"
#include "support/line_reader.hpp"
#include "support/out_buffer.hpp"

namespace calib {

// What a file that starts this way holds, judged by its first bytes.
enum class Content { Text, Gzip, Zstd, Xz, Bzip2 };

// The content a compressed file's signature at the start of the text
// shows; Text for anything else.
Content contentOf(std::string_view head);

// "text", "gzip", "zstd", "xz" or "bzip2".
std::string_view contentName(Content content);

// What the input looked like, line by line.
struct InputCounts {
  Content content = Content::Text;     // judged by the first line
  std::int64_t dataLines = 0;  // set when reading ends
  std::int64_t zeroLines = 0;
  std::int64_t linesWithFewerValues = 0;  // fewer than kNChan values
  std::int64_t linesWithMoreValues = 0;   // more than kNChan values (the rest are ignored)
  std::int64_t tokensNotNumbers = 0;      // among the values read: not an optional sign and digits
  std::int64_t linesWithNul = 0;          // cut short by a NUL byte
  std::int64_t windowsDropped = 0;        // a zero run of kMinZeroSamples came before the window was long enough
  std::int64_t windowsRestarted = 0;      // a window reached kMaxSample samples and started over
};

// Everything the reading loop carries from one line to the next.
struct StreamState {
  // Lines processed so far; 64-bit so that no input length overflows it.
  std::int64_t nLines = 0;
  // Samples in the current window, and where the next data line goes.
  int nsamples = 0;
  // Zero lines since the last data line (64-bit for the same reason).
  std::int64_t nZerosInARow = 0;
  // Values of the current line. A channel a line does not reach keeps the
  // value of the last line that did; before any line, 0.
  std::array<int, kNChan> lineValues{};
  WindowBuffer adcSamples;
  std::int64_t windowsAnalysed = 0;
  std::int64_t zeroRunsRecorded = 0;
  InputCounts input;
};

// Handles one input line (without its line feed): parses it, classifies it,
// updates the window and the zero-run count, runs the window analysis when
// the line ends a window, and prints the line's commentary.
void processLine(std::string_view line, StreamState& state, const DetectorPreset& preset, HistogramSet& hists,
                 OutBuffer& console, Commentary commentary = Commentary::On);

struct StreamSummary {
  LineReader::Status end;     // why reading stopped
  std::error_code readError;  // for LineReader::Status::ReadError
  std::int64_t nLines;
  std::int64_t windowsAnalysed;
  std::int64_t zeroRunsRecorded;
  InputCounts input;
  Compression compression;
  std::uint64_t inputBytes;  // taken from the file (compressed bytes for a compressed one)
  std::uint64_t textBytes;   // of text read from it
};

struct StreamOptions {
  Commentary commentary = Commentary::On;
  // When set, called from time to time with the bytes taken from the file
  // so far (compressed bytes for a compressed file), and once at the end.
  std::function<void(std::uint64_t)> progress;
};

// Runs processLine over every line of source, reading on a second thread.
StreamSummary readSampleStream(ByteSource& source, const DetectorPreset& preset, HistogramSet& hists,
                               OutBuffer& console, const StreamOptions& options = {});

}  // namespace calib
