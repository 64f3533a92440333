// The listings of calib-batch: chips, history and export. Each opens the
// database read-only (it must be one calib-batch made), reads it and
// prints the listing in the format asked.
#pragma once

#include <string>

#include "production/command/command.hpp"
#include "production/listing/formats.hpp"
#include "production/store/record_filter.hpp"
#include "production/store/store.hpp"

namespace calib::production {

CommandOutcome listChips(const std::string& dbUrl, bool failedOnly, Format format, const Printer& print);
// The current record of each of the chip's measurements, or every record.
CommandOutcome listHistory(const std::string& dbUrl, const std::string& chip, Records which, Format format,
                           const Printer& print);

// The records (current ones, or every one) the filter takes, or their
// channels, each channel with its record's metadata. With every record,
// each analysis's channels come once, under its current record (its
// latest when all are superseded). An export that finds nothing writes
// the header (CSV) or [] (JSON) and says so on standard error.
enum class ExportWhat { Runs, Channels };
struct ExportRequest {
  ExportWhat what = ExportWhat::Runs;
  Records which = Records::Current;
  RecordFilter filter;
  Format format = Format::Csv;
};
CommandOutcome exportRecords(const std::string& dbUrl, const ExportRequest& request, const Printer& print);

}  // namespace calib::production
