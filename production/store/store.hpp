// The results database as the production layer uses it: criteria sets
// registered once, runs recorded each in one transaction with their
// reasons and channels, and the queries behind the commands. The SQL is
// written once for SQLite and PostgreSQL (database.hpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "production/acceptance.hpp"
#include "production/criteria.hpp"
#include "production/database.hpp"
#include "production/results_reader.hpp"

namespace calib::production {

// What a test stand's file name says besides chip and configuration.
struct StandFields {
  std::string date;  // YYYYMMDD
  std::string time;  // HHMMSS
  std::string board;
  std::string link;
};

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

// A recorded run as the listings show it.
struct RunRow {
  std::int64_t runId = 0;
  std::string chip;
  std::string config;
  std::string detector;
  std::string measuredAt;
  std::string analysedAt;
  std::string verdict;
  std::string reasonCodes;  // "channels_not_ok,gain_spread"
  std::string reasons;      // the details, "; " between them
  std::optional<double> medianGain;
  std::optional<double> gainSpread;
  std::optional<double> worstInl;
  std::optional<std::int64_t> worstInlChannel;
  std::optional<double> maxEnc;
  std::optional<std::int64_t> maxEncChannel;
  std::optional<std::int64_t> channelsNotOk;
  std::string notOk;
  std::string inputPath;
  std::string inputSha256;
  std::string analysisVersion;
  std::string criteria;  // "default 1"
  std::string standDate, standTime, board, link;
  std::string calibExit;
  std::string outputDir;
  std::optional<std::int64_t> supersededBy;
  std::int64_t runsOfChipAndConfig = 0;  // filled by chips()
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
  ChipSummary summary;
};

class Store {
 public:
  // Opens the database at url and brings its schema up to date.
  static std::unique_ptr<Store> open(const std::string& url, std::string& error);
  // Opens a database calib-batch made, to read it: nothing is created or
  // changed (an SQLite file is opened read-only). One of another schema
  // version is an error; so is one calib-batch has not made yet (no SQLite
  // file, or no tables of calib-batch), and then absent is set.
  static std::unique_ptr<Store> openExisting(const std::string& url, std::string& error, bool& absent);
  explicit Store(std::unique_ptr<Database> db) : db_(std::move(db)) {}

  Database& database() { return *db_; }

  // The id of criteria, registered when new. Criteria of a name and
  // version already registered with another text are an error: a changed
  // file needs a new version.
  std::optional<std::int64_t> criteriaId(const Criteria& criteria, std::string& error);

  // The id of criteria when registered, 0 when not, without registering.
  std::optional<std::int64_t> findCriteria(const Criteria& criteria, std::string& error);

  // The run recorded, not superseded, for this input content, analysis
  // version and criteria, and whether it is final: a run calib could not
  // analyse (not started, killed, no results) is analysed again by the
  // next batch, its record superseded.
  struct Recorded {
    std::int64_t runId = 0;  // 0: none
    bool final = false;
  };
  std::optional<Recorded> recordedRun(const std::string& sha256, const std::string& analysisVersion,
                                      std::int64_t criteriaId, std::string& error);

  // Records run in one transaction: judges it (unless run.assessment is
  // set) against criteria and the chip's latest calibration of the same
  // configuration measured before it, then writes the run, its reasons and
  // its channels. A run recorded already is recorded again, the earlier
  // record marked superseded, when that record is not final or supersede
  // is set; otherwise it is not recorded again.
  std::optional<RecordOutcome> record(const RunInput& run, const Criteria& criteria, std::int64_t criteriaId,
                                      bool supersede, std::string& error);

  // The latest run of every chip and configuration (of those whose latest
  // verdict is not pass, with failedOnly), by chip and configuration.
  std::optional<std::vector<RunRow>> chips(bool failedOnly, std::string& error);
  // Every run of a chip, oldest first, superseded ones included; gains by
  // run id.
  std::optional<std::vector<RunRow>> history(const std::string& chip,
                                             std::map<std::int64_t, std::vector<std::optional<double>>>& gains,
                                             std::string& error);
  std::optional<std::vector<RunRow>> allRuns(std::string& error);
  std::optional<std::vector<ChannelRow>> allChannels(std::string& error);
  // The runs not superseded, oldest first, and their channel results.
  std::optional<std::vector<RunRow>> currentRuns(std::string& error);
  std::optional<std::vector<ChannelRow>> currentChannels(std::string& error);
  // The text of every criteria set, by "name version".
  std::optional<std::map<std::string, std::string>> criteriaTexts(std::string& error);

 private:
  std::optional<PreviousCalibration> previousCalibration(const RunInput& run, std::string& error, bool& ok);
  std::optional<std::vector<RunRow>> runRows(const std::string& where, const std::vector<Value>& params,
                                             std::string& error);
  std::optional<std::vector<ChannelRow>> channelRows(const std::string& where, std::string& error);

  std::unique_ptr<Database> db_;
};

// The time now in UTC, as "2026-12-08T17:40:47Z".
std::string utcNow();

}  // namespace calib::production
