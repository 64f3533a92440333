// The JSON results calib writes (format "calib-results", version 2), read
// back into the values the production layer works with: what the run was,
// and each channel's status and figures. Nothing else of the analysis is
// known here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.hpp"

namespace calib::production {

struct ChannelResult {
  int channel = 0;
  std::string status;
  std::optional<double> gain;  // mV/fC, with a fit
  std::optional<double> gainError;
  std::optional<double> offset;  // mV
  std::optional<double> chi2;
  std::optional<int> ndf;
  std::optional<double> noiseAdc;  // ADC counts
  std::optional<double> enc;       // electrons
  std::optional<double> inl;       // %
  std::optional<double> maxPull;
  std::optional<double> baseline{};  // mean pedestal, ADC counts
};

struct RunResults {
  std::string toolVersion;
  std::string chip;  // the chip string as calib was given it
  std::string config;
  std::string detector;
  std::string adcFile;  // as calib was given it
  std::optional<std::uint64_t> adcFileBytes;
  std::optional<std::string> adcSha256;
  std::string compression;
  std::int64_t linesProcessed = 0;
  std::int64_t windowsAnalysed = 0;
  bool readToEnd = false;
  std::string readEnd;
  std::string looksLike = "text";  // what the bytes read looked like: text, gzip, zstd, xz, bzip2, binary
  std::int64_t linesWithNulBytes = 0;
  std::vector<ChannelResult> channels;  // in channel order
  int gainChannels = 0;
  std::optional<double> gainMedian;
  std::optional<double> gainSpreadPercent;
  std::optional<double> encMedian;
};

// The largest results file read: calib's are a few hundred kB; anything
// larger is not one, and is refused before it is read.
constexpr std::uint64_t kMaxResultsBytes = 64ull << 20;

// The content of a results file: a regular file of at most
// kMaxResultsBytes. Anything else (a FIFO, a device, a directory) is
// refused unread, with what it is.
Result<std::string> readResultsFile(const std::string& path);

// Reads a results document; a failure says why not (not JSON, another
// format or version, a missing or mistyped key).
Result<RunResults> parseResults(std::string_view json);

// A pulse of a channel's gain curve as calib measured it.
struct CurvePoint {
  double charge = 0;                     // fC
  bool measured = true;                  // false: never profiled (MuCh's first pulses), no amplitude
  std::optional<double> amplitude;       // mV
  std::optional<double> amplitudeError;  // mV; 0 from a single train
  std::int64_t windowsAtLimit = 0;       // windows whose raw peak reached the ADC's limit: clipped
  bool saturated = false;                // left off the curve
  bool inFitRange = false;
  bool operator==(const CurvePoint&) const = default;
};

// A channel's gain curve: its status, the line fitted, and every pulse of
// the train in ascending charge (the origin anchor is not among them).
struct ChannelCurve {
  int channel = 0;
  std::string status;
  std::optional<double> offset;  // mV, with a fit
  std::optional<double> gain;    // mV/fC, with a fit
  std::vector<CurvePoint> points;
  std::optional<double> baseline{};  // mean pedestal, ADC counts
  bool operator==(const ChannelCurve&) const = default;
};

// The 32 gain curves of a results document, by channel, with each
// channel's baseline; a failure says why not, as parseResults does. Read without building the document's tree
// when it has the expected shape (a thousand of them make a report).
Result<std::vector<ChannelCurve>> parseCurves(std::string_view json);

}  // namespace calib::production
