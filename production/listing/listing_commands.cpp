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
  const Result<std::unique_ptr<Store>> store = Store::openExisting(dbUrl);
  if (!store) return store.error();
  const bool channels = request.what == ExportWhat::Channels;
  // The records and their channels as they are at one moment.
  const Result<Transaction> reading = Transaction::beginRead((*store)->database());
  if (!reading) return reading.error();
  Result<std::vector<RunRow>> read = (*store)->runs(request.which);
  if (!read) return read.error();
  std::vector<RunRow> runs;
  for (RunRow& run : *read)
    if (selects(request.filter, run)) runs.push_back(std::move(run));
  if (runs.empty()) print.message(nothingFound((*store)->database().name(), request.filter));

  // Written a piece at a time: an export of every channel of a year's
  // records is far larger than its rows. A reader gone (a closed pipe)
  // ends it.
  const Format format = request.format;
  std::string text = recordsHead(keysOf(channels ? exportedChannel({}) : exportedRun({})), format);
  std::size_t written = 0;
  std::error_code error;
  const auto add = [&](const Record& record) {
    text += recordText(record, written++, format);
    if (text.size() >= (1u << 16) && !error) {
      error = print.out(text);
      text.clear();
    }
  };
  if (!channels) {
    for (std::size_t i = 0; i < runs.size() && !error; ++i) add(exportedRun(runs[i]));
  } else {
    // The record each analysis's channels are exported under: every
    // current record its own; of every record, each analysis's current
    // one, or its latest when all are superseded.
    std::map<std::int64_t, const RunRow*> byAnalysis;
    for (const RunRow& run : runs) {
      const RunRow*& chosen = byAnalysis[request.which == Records::Current ? run.runId : run.analysisId];
      if (!chosen || (chosen->supersededBy && (!run.supersededBy || run.runId > chosen->runId))) chosen = &run;
    }
    std::map<std::int64_t, const RunRow*> under;
    for (const auto& [analysis, run] : byAnalysis) under[run->runId] = run;
    constexpr std::size_t kRecordsAtOnce = 500;
    std::vector<std::int64_t> ids;
    for (auto it = under.begin(); it != under.end() && !error;) {
      ids.clear();
      for (; it != under.end() && ids.size() < kRecordsAtOnce; ++it) ids.push_back(it->first);
      const Result<std::vector<ChannelRow>> rows = (*store)->channelsUnder(ids);
      if (!rows) return rows.error();
      for (const ChannelRow& c : *rows) add(exportedChannel({under.at(c.runId), &c.result}));
    }
  }
  text += recordsTail(written, format);
  if (!error) error = print.out(text);
  if (error) return failed("cannot write standard output: " + error.message());
  return {};
}

}  // namespace calib::production
