#include "production/listing/listing_commands.hpp"

#include <map>

#include "production/listing/history.hpp"
#include "production/listing/listing.hpp"
#include "production/store/store.hpp"

namespace calib::production {

namespace {

// Prints text, the listing's one output.
CommandOutcome printed(const Printer& print, const std::string& text) {
  if (const std::error_code e = print.out(text)) return failed("cannot write standard output: " + e.message());
  return {};
}

// The listing that read(store) makes, from the database at dbUrl.
template <typename Read>
CommandOutcome listing(const std::string& dbUrl, const Printer& print, Read read) {
  const Result<std::unique_ptr<Store>> store = Store::openExisting(dbUrl);
  if (!store) return store.error();
  const Result<std::string> text = read(**store);
  if (!text) return text.error();
  return printed(print, *text);
}

// What an export that found nothing says: the database, and the filter
// that took nothing, as it was given.
std::string nothingFound(const std::string& database, const RecordFilter& filter) {
  std::string given;
  for (const std::string& chip : filter.chips) given += " --chip " + chip;
  if (!filter.configPattern.empty()) given += " --config " + filter.configPattern;
  if (!filter.since.empty()) given += " --since " + filter.since;
  if (!filter.until.empty()) given += " --until " + filter.until;
  return given.empty() ? database + " holds no record to export" : "no record in " + database + " matches" + given;
}

}  // namespace

CommandOutcome listChips(const std::string& dbUrl, bool failedOnly, Format format, const Printer& print) {
  return listing(dbUrl, print, [&](Store& store) -> Result<std::string> {
    const Result<std::vector<RunRow>> rows = store.chips(failedOnly);
    if (!rows) return rows.error();
    return formatRuns(*rows, format, RunListing::Chips);
  });
}

CommandOutcome listHistory(const std::string& dbUrl, const std::string& chip, Records which, Format format,
                           const Printer& print) {
  return listing(dbUrl, print, [&](Store& store) -> Result<std::string> {
    const Result<ChipHistory> history = store.history(chip, which);
    if (!history) return history.error();
    if (history->runs.empty())
      return failed("chip '" + chip + "' has no recorded run in " + store.database().name());
    return formatHistory(chip, *history, format);
  });
}

CommandOutcome exportRecords(const std::string& dbUrl, const ExportRequest& request, const Printer& print) {
  return listing(dbUrl, print, [&](Store& store) -> Result<std::string> {
    const bool channels = request.what == ExportWhat::Channels;
    Result<RecordsRead> read = store.records(request.which, channels);
    if (!read) return read.error();
    std::vector<RunRow> runs;
    for (RunRow& run : read->runs)
      if (selects(request.filter, run)) runs.push_back(std::move(run));
    if (runs.empty()) print.message(nothingFound(store.database().name(), request.filter));
    if (!channels) return formatRuns(runs, request.format, RunListing::Records);
    // The record each channel row is exported under: the channels of the
    // current records come by their own ids, those of every analysis by
    // the id of the record that analysed, under its current or latest one.
    std::map<std::int64_t, const RunRow*> under;
    for (const RunRow& run : runs) {
      const std::int64_t key = request.which == Records::Current ? run.runId : run.analysisId;
      const RunRow*& chosen = under[key];
      if (!chosen || (chosen->supersededBy && (!run.supersededBy || run.runId > chosen->runId))) chosen = &run;
    }
    std::vector<RecordChannel> rows;
    for (const ChannelRow& c : read->channels)
      if (const auto it = under.find(c.runId); it != under.end()) rows.push_back({it->second, &c.result});
    return formatChannels(rows, request.format);
  });
}

}  // namespace calib::production
