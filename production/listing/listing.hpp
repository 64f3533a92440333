// The listings of runs and channel results, for people (an aligned table)
// and for scripts (CSV and JSON), as docs/batch.md describes them. A run's
// exported fields are those of the run columns (run_row.hpp).
#pragma once

#include <string>
#include <vector>

#include "production/listing/formats.hpp"
#include "production/store/store.hpp"

namespace calib::production {

// A run's fields for scripts (and the number of runs of its chip and
// configuration, for the chips listing).
Record runRecord(const RunRow& run, bool withRunCount);

// Runs, one line or object each: the chips listing (with the number of
// runs of each chip and configuration), or records as the export and the
// batches list them (in CSV and JSON with whether each is current).
enum class RunListing { Chips, Records };
std::string formatRuns(const std::vector<RunRow>& runs, Format format, RunListing listing);

// A channel's results with the record it is exported under.
struct RecordChannel {
  const RunRow* run = nullptr;
  const ChannelResult* result = nullptr;
};

// The fields an export writes: of a record (its run columns and whether it
// is current), and of a channel with its record's metadata (the stand's
// fields, verdict, criteria, whether current). Of an empty argument: the
// keys, for a header.
Record exportedRun(const RunRow& run);
Record exportedChannel(const RecordChannel& channel);
std::vector<std::string> keysOf(const Record& record);

// A number for a table, with `decimals` decimals; "" when unknown.
// Records judged anew, each with its verdict before: "2 pass → fail, 1 fail
// → pass" (those whose verdict changed), "" when none did.
std::string verdictChanges(const std::vector<std::pair<RunRow, std::string>>& judged);

// A run's median gain in a table, "45.70 (fitted)" when it is the median of
// the fitted channels because calib judged none good; "-" when unknown.
std::string medianGainText(const RunRow& run);

std::string tableNumber(const std::optional<double>& v, int decimals);

}  // namespace calib::production
