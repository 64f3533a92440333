// The results database as the production layer uses it: criteria sets
// registered once, runs recorded each in one transaction with their
// reasons and channels, and the queries behind the commands. The SQL is
// written once for SQLite and PostgreSQL (database.hpp); the columns of a
// run once (run_row.hpp).
#pragma once

#include <cstdint>
#include <functional>
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
#include "production/store/schema.hpp"
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
  // Current records of the same file that this run supersedes: the file
  // as it was part-written (its content the start of this one's).
  std::vector<std::int64_t> supersedes;
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
  std::string currentVerdict;  // not recorded: the verdict of the measurement's current record
  // Not recorded because the analysis could not be made and the
  // measurement's current record holds one that was (runId).
  bool keptCurrent = false;
  // Later calibrations of the chip judged again because of this record
  // (it came after them, or replaced what they were compared with), each
  // with its verdict before.
  std::vector<std::pair<RunRow, std::string>> judgedAgain;
  Assessment assessment;
  RunRow row;  // as recorded
};

// The records of a chip, oldest first (the current ones, or every one),
// and the gains and statuses by channel of each analysis among them.
struct ChipHistory {
  std::vector<RunRow> runs;
  std::map<std::int64_t, std::vector<ChannelGain>> gains;  // by analysis id
};

// The current records, oldest first, with their channels and the text of
// every criteria set ("name version"), read at one moment.
struct CurrentRuns {
  std::vector<RunRow> runs;
  std::vector<ChannelRow> channels;
  std::map<std::string, std::string> criteria;
};

// The criteria a database judges by, and since when.
struct CriteriaInForce {
  std::int64_t id = 0;
  Criteria criteria;
  std::string since;  // UTC
};

// What putting criteria in force did: every current record judged by other
// criteria judged again, and those whose verdict changed.
struct Rejudged {
  CriteriaInForce inForce;
  bool changedCriteria = false;  // false: they were in force already
  std::size_t records = 0;       // judged again
  std::vector<std::pair<RunRow, std::string>> changed;  // the new record, and its verdict before
};

// Which records a listing reads: the current one of each measurement, or
// every record, superseded ones included.
enum class Records { Current, All };
class Store {
 public:
  // Opens the database at url and brings its schema up to date; its
  // statements wait as limits allow.
  // notice is told of a long migration before it starts.
  static Result<std::unique_ptr<Store>> open(const std::string& url, const WaitLimits& limits = {},
                                             const Notice& notice = {});
  // Opens a database calib-batch made, to read it: nothing is created or
  // changed (an SQLite file is opened read-only). Only one calib-batch has
  // not made yet (no SQLite file, or no tables at all) is absent; one that
  // cannot be read (the reason given), another program's and one of another
  // schema version are errors, each naming the database.
  static Result<std::unique_ptr<Store>> openExisting(const std::string& url, const WaitLimits& limits = {});
  explicit Store(std::unique_ptr<Database> db) : db_(std::move(db)) {}

  Database& database() { return *db_; }
  // Whether open made the database (its schema) now.
  bool made() const { return made_; }

  // The id of criteria, registered when new. Criteria of a name and
  // version already registered with another text are an error: a changed
  // file needs a new version.
  Result<std::int64_t> criteriaId(const Criteria& criteria);

  // The criteria the database judges by; none in a database that has not
  // judged anything yet.
  Result<std::optional<CriteriaInForce>> criteriaInForce();

  // The criteria in force, putting criteria in force first when none are
  // (a new database takes the criteria of its first batch).
  Result<CriteriaInForce> startCriteria(const Criteria& criteria);

  // Puts criteria in force and judges every current record judged by other
  // criteria again, from its stored results (no analysis is run), in one
  // transaction: each gets a new record sharing its analysis. progress is
  // told the records done of those to do.
  Result<Rejudged> setCriteria(const Criteria& criteria,
                               const std::function<void(std::size_t, std::size_t)>& progress = {});

  // The current record of a measurement (an input's content), and whether
  // it is final: a record of an analysis calib could not make (not started,
  // killed, no results: not_analysed) is tried again by the next batch, the
  // new record superseding it.
  struct Recorded {
    std::int64_t runId = 0;  // 0: none
    bool final = false;
    std::string verdict;
    std::string analysisVersion;
    std::int64_t attempts = 0;
    std::string chip, config, inputPath;  // what its file's name said
    std::string measuredAt;
  };
  Result<Recorded> currentRecord(const std::string& sha256);

  // The current records of a file under a chip and configuration, with
  // their contents' hash and size.
  struct FileRecord {
    std::int64_t runId = 0;
    std::string sha256;
    std::optional<std::int64_t> bytes;
  };
  Result<std::vector<FileRecord>> currentOfFile(const std::string& chip, const std::string& config,
                                                const std::string& inputPath);

  // The output directories of a measurement's analyses, which a new
  // analysis must not write over.
  Result<std::vector<std::string>> analysisDirs(const std::string& sha256);

  // The calibration run would be compared with, as recorded now
  // (previous_calibration.hpp).
  Result<std::optional<PreviousCalibration>> previousCalibration(const CalibrationKey& run);

  // Records run in one transaction: judges it (unless run.assessment is
  // set) by the criteria in force and against the chip's previous
  // calibration, then writes the record, its reasons and its channels. It
  // becomes its measurement's current record, superseding the one before,
  // when there is none, that one is not final, or supersede allows it;
  // otherwise nothing is recorded. An analysis that could not be made
  // (run.assessment not_analysed) never supersedes a final record, whatever
  // supersede says: a forced analysis on a full disk keeps the result. It also supersedes a current record of
  // the same file (path, chip, configuration) with other content that was
  // recorded as input_incomplete (the file was cut then and has grown), and
  // those of run.supersedes. A calibration measured after it whose
  // judgement changes with it (compared with it now, or with another) is
  // judged again in the same transaction.
  enum class Supersede {
    IfNotFinal,    // only a record of an analysis that could not be made
    OlderVersion,  // also a record of an older calib version's analysis (run --reanalyse)
    Always,        // any record (run --force)
  };
  Result<RecordOutcome> record(const RunInput& run, Supersede supersede);

  // The latest current record of every chip and configuration (of those
  // whose latest verdict is not pass, with failedOnly), by chip and
  // configuration.
  Result<std::vector<RunRow>> chips(bool failedOnly);
  Result<ChipHistory> history(const std::string& chip, Records which);
  Result<std::vector<RunRow>> runs(Records which);
  // The channels of the current records, or of every analysis.
  Result<std::vector<ChannelRow>> channels(Records which);
  Result<CurrentRuns> currentRuns();
  // The channels of the analyses of records, under the records' ids, by
  // record and channel (a few hundred records at a time keep the rows
  // read small).
  Result<std::vector<ChannelRow>> channelsUnder(const std::vector<std::int64_t>& recordIds);
  // The results files of analyses as calib wrote them, by the id of the
  // record that holds each (RunRow::analysisId): each decompressed, or why
  // it cannot be; an analysis without one is left out.
  Result<std::map<std::int64_t, Result<std::string>>> resultsFiles(const std::vector<std::int64_t>& analysisIds);

 private:
  Result<std::vector<RunRow>> runRows(const std::string& where, const std::vector<Value>& params);
  Result<std::vector<ChannelRow>> channelRows(const std::string& where, const std::vector<Value>& params);
  Result<std::int64_t> chipId(const std::string& chip);
  Result<std::int64_t> insertRun(const RunRow& row, std::int64_t chipId, std::int64_t criteriaId,
                                 const std::string& resultsJson);
  Result<void> insertDetails(std::int64_t runId, const Assessment& assessment, const RunInput& run);
  Result<void> insertReasons(std::int64_t runId, const std::vector<Reason>& reasons);
  Result<void> insertReasons(const std::vector<std::pair<std::int64_t, std::vector<Reason>>>& reasons);
  // The criteria in force, for a record being written (an error when
  // there are none).
  Result<CriteriaInForce> inForceForRecord();
  // On PostgreSQL, the lock records share and judging again takes alone,
  // first thing in their transactions.
  Result<void> lockCriteria(bool exclusive);
  // After a record of chip and configuration measured at measuredAt was
  // made or replaced: the calibrations measured after it, judged against
  // their previous calibration as it is now, each recorded again (into
  // judged, with its verdict before) when its judgement changed, the next
  // ones in turn as long as one does.
  Result<void> judgeFollowingAgain(const std::string& chip, const std::string& config,
                                   const std::string& measuredAt, const CriteriaInForce& criteria,
                                   std::vector<std::pair<RunRow, std::string>>& judged);
  // A new record of old's analysis with judgement a; old marked superseded
  // by itself first unless marked already (its successor linked by the
  // caller). Its id.
  Result<std::int64_t> recordJudgement(const RunRow& old, const Assessment& a, std::int64_t criteriaId,
                                       const std::string& now, bool marked);
  Result<std::optional<CriteriaInForce>> readInForce();

  std::unique_ptr<Database> db_;
  std::optional<CriteriaInForce> criteriaCache_;  // the last criteria read, parsed once
  bool made_ = false;
};

// The row a run is recorded as, judged.
RunRow recordedRow(const RunInput& run, const Assessment& assessment, const std::string& criteria,
                   const std::string& analysedAt);

}  // namespace calib::production
