#include "production/batch/criteria_commands.hpp"

#include <optional>

#include "production/listing/listing.hpp"
#include "production/store/store.hpp"
#include "support/progress.hpp"

namespace calib::production {

namespace {

// "'lab' version 2".
std::string named(const Criteria& c) { return "'" + c.name + "' version " + c.version; }

}  // namespace

CommandOutcome showCriteria(const std::string& dbUrl, const Printer& print) {
  const Result<std::unique_ptr<Store>> store = Store::openExisting(dbUrl);
  if (!store) return store.error();
  const Result<std::optional<CriteriaInForce>> inForce = (*store)->criteriaInForce();
  if (!inForce) return inForce.error();
  if (!*inForce)
    return failed((*store)->database().name() +
                  " has judged nothing yet: its first batch puts its criteria in force (the built-in ones, or "
                  "those of --criteria)");
  print.message("criteria " + named((*inForce)->criteria) + ", in force in " + (*store)->database().name() +
                " since " + (*inForce)->since);
  if (const std::error_code e = print.out((*inForce)->criteria.text))
    return failed("cannot write standard output: " + e.message());
  return {};
}

CommandOutcome setCriteria(const std::string& dbUrl, const std::string& file, const Printer& print) {
  const Result<Criteria> criteria = loadCriteria(file);
  if (!criteria) return criteria.error();
  // Only a database calib-batch made: a mistyped --db must not make a new,
  // empty one and report its criteria set.
  if (const Result<std::unique_ptr<Store>> existing = Store::openExisting(dbUrl);
      !existing && existing.error().absent())
    return failed(existing.error().message);
  const Result<std::unique_ptr<Store>> store = Store::open(dbUrl, {}, [&](const std::string& text) { print.message(text); });
  if (!store) return store.error();
  std::optional<ProgressMeter> progress;
  const Result<Rejudged> done = (*store)->setCriteria(*criteria, [&](std::size_t n, std::size_t total) {
    if (!print.progress) return;
    if (!progress)
      progress.emplace(total, print.err, steadySeconds, [](std::uint64_t d, std::uint64_t t, double s) {
        return ProgressMeter::formatCountLine("calib-batch", "records", d, t, s);
      });
    progress->update(n);
  });
  if (progress) progress->finish();
  if (!done) return done.error();

  std::vector<RunRow> rows;
  for (const auto& [row, before] : done->changed) rows.push_back(row);
  if (!rows.empty()) print.out(formatRuns(rows, Format::Table, RunListing::Records));
  std::string summary = "criteria " + named(*criteria) + (done->changedCriteria ? " in force in " : " in force already in ") +
                        (*store)->database().name() + ": " + plural(done->records, "record", "records") +
                        " judged again, " + plural(done->changed.size(), "verdict", "verdicts") + " changed";
  if (const std::string list = verdictChanges(done->changed); !list.empty()) summary += " (" + list + ")";
  print.out(summary + "\n");
  return {};
}

}  // namespace calib::production
