// The JSON results: one object that records the run, its settings and, for
// every channel, its fit, status, pulses, noise, ENC and linearity, and the
// chip's figures, for programs to read without parsing the text outputs.
// docs/results.md describes it and docs/results.schema.json defines it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "analysis/channel_quality.hpp"
#include "analysis/sample_stream.hpp"
#include "core/detector.hpp"
#include "support/out_buffer.hpp"

namespace calib {

inline constexpr std::string_view kResultsFormat = "calib-results";
inline constexpr int kResultsVersion = 2;

// What the results record of the run itself.
struct RunRecord {
  std::string_view chipString;  // as typed
  int chip;
  std::string_view config;
  std::string_view adcFile;              // as given
  std::optional<std::uint64_t> adcBytes;  // unset for a pipe or a device
  std::optional<std::string> adcSha256;   // of the file's bytes, when asked for
  const StreamSummary& stream;
};

// What the input looks like: "text", "gzip", "zstd", "xz", "bzip2", or
// "binary" for a file with NUL bytes.
std::string_view looksLike(const InputCounts& input);

void writeResultsJson(const RunRecord& run, const DetectorPreset& preset, const QualityReport& quality,
                      OutBuffer& out);

}  // namespace calib
