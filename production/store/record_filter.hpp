// Which records a listing or a report takes: by the day they were
// measured, their configuration and their chip. One rule for the exports
// and the report.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "production/store/run_row.hpp"

namespace calib::production {

struct RecordFilter {
  std::string since{};          // "YYYY-MM-DD": measured that day or later; empty: no bound
  std::string configPattern{};  // a glob; empty: every configuration
  std::string until{};          // "YYYY-MM-DD": measured that day or earlier; empty: no bound
  std::vector<std::string> chips{};  // the chips as stored, byte for byte; none: every chip
};

// Whether the filter takes a record: measured within its days (by the
// stand's date of measured_at), of a configuration its pattern matches and
// one of its chips.
bool selects(const RecordFilter& filter, const RunRow& run);

// "2018-07-25" from "2018-07-25", "20180725"; nullopt when neither, or
// when it is no day of the calendar.
std::optional<std::string> dayOf(const std::string& date);

}  // namespace calib::production
