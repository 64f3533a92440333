// The results database as the production layer uses it: criteria sets
// registered once, runs recorded each in one transaction with their
// reasons and channels, and the queries behind the commands. The SQL is
// written once for SQLite and PostgreSQL (database.hpp); the columns of a
// run once (run_row.hpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "production/results/results_reader.hpp"
#include "production/rules/acceptance.hpp"
#include "production/rules/criteria.hpp"
#include "production/rules/name_pattern.hpp"
#include "production/store/database.hpp"
#include "production/store/run_row.hpp"
#include "support/result.hpp"

namespace calib::production {

// A run to record.
struct RunInput {
  std::string chip;
  std::string config;
  std::string detector;  // empty when calib wrote no results
  std::string inputPath;
  std::string inputSha256;
  std::optional<std::int64_t> inputBytes;
  std::string compression;  // empty when unknown
  std::string measuredAt;   // YYYY-MM-DDTHH:MM:SS
  StandFields stand;
  std::string analysisVersion;
  std::string calibExit;  // "exit status 0", "killed by signal 9 (Killed)", "recorded from results"
  std::string outputDir;
  std::optional<RunResults> results;
  std::string resultsJson;  // the file calib wrote, kept compressed
  // Set for a run that could not be analysed; otherwise the store judges
  // the results against the criteria and the previous calibration.
  std::optional<Assessment> assessment;
};

struct ChannelRow {
  std::int64_t runId = 0;
  std::string chip;
  std::string config;
  std::string measuredAt;
  ChannelResult result;
};

struct RecordOutcome {
  std::int64_t runId = 0;
  bool recorded = false;  // false: the same run was recorded already (runId is that one)
  Assessment assessment;
  RunRow row;  // as recorded
};

// Every run of a chip, oldest first, superseded ones included, and each
// run's gains by channel.
struct ChipHistory {
  std::vector<RunRow> runs;
  std::map<std::int64_t, std::vector<std::optional<double>>> gains;  // by run id
};

// The runs not superseded, oldest first, with their channels and the text
// of every criteria set ("name version"), read at one moment.
struct CurrentRuns {
  std::vector<RunRow> runs;
  std::vector<ChannelRow> channels;
  std::map<std::string, std::string> criteria;
};

class Store {
 public:
  // Opens the database at url and brings its schema up to date.
  static Result<std::unique_ptr<Store>> open(const std::string& url);
  // Opens a database calib-batch made, to read it: nothing is created or
  // changed (an SQLite file is opened read-only). One of another schema
  // version is an error; one calib-batch has not made yet (no SQLite file,
  // or no tables of calib-batch) is absent.
  static Result<std::unique_ptr<Store>> openExisting(const std::string& url);
  explicit Store(std::unique_ptr<Database> db) : db_(std::move(db)) {}

  Database& database() { return *db_; }

  // The id of criteria, registered when new. Criteria of a name and
  // version already registered with another text are an error: a changed
  // file needs a new version.
  Result<std::int64_t> criteriaId(const Criteria& criteria);

  // The id of criteria when registered, 0 when not, without registering.
  Result<std::int64_t> findCriteria(const Criteria& criteria);

  // The run recorded, not superseded, for this input content, analysis
  // version and criteria, and whether it is final: a run calib could not
  // analyse (not started, killed, no results) is analysed again by the
  // next batch, its record superseded.
  struct Recorded {
    std::int64_t runId = 0;  // 0: none
    bool final = false;
  };
  Result<Recorded> recordedRun(const std::string& sha256, const std::string& analysisVersion,
                               std::int64_t criteriaId);

  // The calibration run would be compared with, as recorded now
  // (previous_calibration.hpp).
  Result<std::optional<PreviousCalibration>> previousCalibration(const CalibrationKey& run);

  // Records run in one transaction: judges it (unless run.assessment is
  // set) against criteria and the chip's previous calibration, then writes
  // the run, its reasons and its channels. A run recorded already is
  // recorded again, the earlier record marked superseded, when that record
  // is not final or supersede is set; otherwise it is not recorded again.
  Result<RecordOutcome> record(const RunInput& run, const Criteria& criteria, std::int64_t criteriaId,
                               bool supersede);

  // The latest run of every chip and configuration (of those whose latest
  // verdict is not pass, with failedOnly), by chip and configuration.
  Result<std::vector<RunRow>> chips(bool failedOnly);
  Result<ChipHistory> history(const std::string& chip);
  Result<std::vector<RunRow>> allRuns();
  Result<std::vector<ChannelRow>> allChannels();
  Result<CurrentRuns> currentRuns();

 private:
  Result<std::vector<RunRow>> runRows(const std::string& where, const std::vector<Value>& params);
  Result<std::vector<ChannelRow>> channelRows(const std::string& where, const std::vector<Value>& params);
  Result<std::int64_t> chipId(const std::string& chip);
  Result<std::int64_t> insertRun(const RunRow& row, std::int64_t chipId, std::int64_t criteriaId,
                                 const std::string& resultsJson);
  Result<void> insertDetails(std::int64_t runId, const Assessment& assessment, const RunInput& run);

  std::unique_ptr<Database> db_;
};

// The row a run is recorded as, judged.
RunRow recordedRow(const RunInput& run, const Assessment& assessment, const std::string& criteria,
                   const std::string& analysedAt);

}  // namespace calib::production
