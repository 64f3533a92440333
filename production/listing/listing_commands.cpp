#include "production/listing/listing_commands.hpp"

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

}  // namespace

CommandOutcome listChips(const std::string& dbUrl, bool failedOnly, Format format, const Printer& print) {
  return listing(dbUrl, print, [&](Store& store) -> Result<std::string> {
    const Result<std::vector<RunRow>> rows = store.chips(failedOnly);
    if (!rows) return rows.error();
    return formatRuns(*rows, format, true);
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

CommandOutcome exportRecords(const std::string& dbUrl, ExportWhat what, Records which, Format format,
                             const Printer& print) {
  return listing(dbUrl, print, [&](Store& store) -> Result<std::string> {
    if (what == ExportWhat::Runs) {
      const Result<std::vector<RunRow>> rows = store.runs(which);
      if (!rows) return rows.error();
      return formatRuns(*rows, format, false);
    }
    const Result<std::vector<ChannelRow>> rows = store.channels(which);
    if (!rows) return rows.error();
    return formatChannels(*rows, format);
  });
}

}  // namespace calib::production
