// The listings of calib-batch for people (aligned tables) and for scripts
// (CSV with a header line, and JSON), as docs/batch.md describes them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "production/store.hpp"

namespace calib::production {

enum class Format { Table, Csv, Json };
std::optional<Format> formatFromName(const std::string& name);

// Runs, one line or object each: the chips listing (with the number of
// runs of each chip and configuration) or the export of runs.
std::string formatRuns(const std::vector<RunRow>& runs, Format format, bool withRunCount);

// Channel results, one line or object per run and channel.
std::string formatChannels(const std::vector<ChannelRow>& channels, Format format);

// A chip's history: its runs oldest first and, for each calibration, the
// change of every channel's gain since the one before of the same
// configuration, the largest flagged.
std::string formatHistory(const std::string& chip, const std::vector<RunRow>& runs,
                          const std::map<std::int64_t, std::vector<std::optional<double>>>& gains, Format format);

}  // namespace calib::production
