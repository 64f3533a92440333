// A chip's history: its runs oldest first and, for each calibration, the
// change of every channel's gain since its previous calibration
// (previous_calibration.hpp), the largest flagged. The comparison is pure;
// the writer gives a table, CSV or JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "production/listing/formats.hpp"
#include "production/rules/acceptance.hpp"
#include "production/store/store.hpp"

namespace calib::production {

struct HistoryEntry {
  const RunRow* run = nullptr;
  std::optional<std::int64_t> previousRunId;  // none for a superseded run, an error, or a first calibration
  GainComparison comparison;
};

// Every run of history, in its order, each current calibration compared
// with its previous one.
std::vector<HistoryEntry> compareHistory(const ChipHistory& history);

std::string formatHistory(const std::string& chip, const ChipHistory& history, Format format);

}  // namespace calib::production
