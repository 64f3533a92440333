// A recorded run as the listings, the report and the exports read it, and
// its columns, described once: each column's SQL expression, the column
// of the run table it is written to, its key in CSV and JSON, and the
// field of RunRow it fills. The store's SELECT list, its decoding of rows
// and its INSERT, and the listings' export fields, are all made from this
// table (the schema's CREATE TABLE is versioned text of its own, checked
// against it by the tests).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "production/rules/previous_calibration.hpp"

namespace calib::production {

struct RunRow {
  std::int64_t runId = 0;
  std::string chip;
  std::string config;
  std::string detector;  // empty when calib wrote no results
  std::string measuredAt;
  std::string analysedAt;
  std::string verdict;
  std::string reasonCodes;  // "channels_not_ok,gain_spread"
  std::string reasons;      // the details, "; " between them
  // The median gain of the channels calib judged good (calib's), or, when
  // no channel was (all clipped, say), of the channels with a fitted gain,
  // flagged by medianGainFitted.
  std::optional<double> medianGain;
  std::int64_t medianGainFitted = 0;
  std::optional<double> gainSpread;
  std::optional<double> worstInl;
  std::optional<std::int64_t> worstInlChannel;
  std::optional<double> maxEnc;
  std::optional<std::int64_t> maxEncChannel;
  std::optional<std::int64_t> channelsNotOk;  // empty: not judged (no results)
  std::string notOk;
  std::string inputPath;
  std::string inputSha256;
  std::string analysisVersion;
  std::string criteria;  // "default 1"
  std::int64_t criteriaId = 0;
  std::string standDate, standTime, board, link;
  std::string calibExit;
  std::string outputDir;
  std::optional<std::int64_t> supersededBy;
  std::int64_t analysisId = 0;  // the record that holds the analysis (channels, results); itself when it analysed
  std::int64_t attempts = 1;    // analyses tried in a row, the failed ones (not_analysed) before it included
  std::string judgedAt;         // UTC, when its verdict was given
  std::optional<std::int64_t> inputBytes;
  std::string compression;  // empty when unknown
  std::int64_t runsOfChipAndConfig = 0;  // filled by the chips listing
};

using RunField = std::variant<std::string RunRow::*, std::optional<double> RunRow::*,
                              std::optional<std::int64_t> RunRow::*, std::int64_t RunRow::*>;

struct RunColumn {
  std::string_view key;     // in CSV and JSON; empty: not exported
  std::string_view select;  // the expression it is read by, from run r, chip c and criteria_set k
  std::string_view insert;  // the column of run it is written to; empty: derived or set by the database
  RunField field;
  bool nullWhenEmpty = false;  // text stored and exported as null when empty
};

// In the order of the exports' columns.
std::span<const RunColumn> runColumns();

// What the rule of the previous calibration reads of a run.
CalibrationKey calibrationKey(const RunRow& row);

}  // namespace calib::production
