// The results database, the same cases on SQLite and on a PostgreSQL
// server the test starts: every run kept, identities unique, latest and
// previous as queries, values stored as given, and writers from several
// connections at once losing and duplicating nothing.
#include "production/store/store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "postgres_server.hpp"
#include "production/listing/history.hpp"
#include "production/rules/previous_calibration.hpp"
#include "production/site/site_model.hpp"
#include "production/store/schema.hpp"
#include "test_util.hpp"

namespace calib::production {
namespace {

enum class Backend { Sqlite, Postgres };

class StoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Sqlite) {
      url_ = "sqlite:" + (dir_ / "calib.sqlite");
      return;
    }
    server_ = std::make_unique<test::PostgresServer>();
    ASSERT_EQ(server_->error(), "");
    url_ = server_->createDatabase("calib");
  }
  std::unique_ptr<Store> open() {
    Result<std::unique_ptr<Store>> store = Store::open(url_);
    EXPECT_TRUE(store) << store.error().message;
    return store ? std::move(*store) : nullptr;
  }

  test::TempDir dir_;
  std::unique_ptr<test::PostgresServer> server_;
  std::string url_;
};

RunInput run(const std::string& chip, const std::string& measuredAt, const std::string& sha, double gain = 20) {
  RunInput in;
  in.chip = chip;
  in.config = "20mV_calib-odd";
  in.detector = "TPC";
  in.inputPath = "/data/" + chip + "/" + measuredAt + "_adc.txt";
  in.inputSha256 = sha;
  in.measuredAt = measuredAt;
  in.analysisVersion = "1.0.0";
  in.calibExit = "exit status 0";
  RunResults r;
  r.toolVersion = "1.0.0";
  r.chip = chip;
  r.config = in.config;
  r.detector = "TPC";
  r.windowsAnalysed = 200;
  r.readToEnd = true;
  for (int c = 0; c < 32; ++c) {
    ChannelResult ch;
    ch.channel = c;
    ch.status = "ok";
    ch.gain = gain * (1 + 0.001 * c);
    ch.enc = 900;
    ch.inl = 0.2;
    r.channels.push_back(ch);
  }
  r.gainMedian = gain;
  r.gainSpreadPercent = 1;
  in.results = r;
  in.resultsJson = "{\"chip\": \"" + chip + "\"}";
  return in;
}

TEST_P(StoreTest, KeepsEveryRunAndFindsTheLatestAndThePrevious) {
  const std::unique_ptr<Store> store = open();
  ASSERT_TRUE(store);
  const Criteria criteria = defaultCriteria();
  const Result<CriteriaInForce> inForce = store->startCriteria(criteria);
  ASSERT_TRUE(inForce) << inForce.error().message;
  EXPECT_EQ(store->criteriaId(criteria).value_or(0), inForce->id);

  const auto record = [&](const RunInput& in, bool supersede) {
    Result<RecordOutcome> o = store->record(in, supersede ? Store::Supersede::Always : Store::Supersede::IfNotFinal);
    EXPECT_TRUE(o) << o.error().message;
    return o ? std::move(*o) : RecordOutcome{};
  };
  const std::string chip = "7'; DROP TABLE run; --";  // stored as given
  const RecordOutcome first = record(run(chip, "2018-07-20T10:00:00", "a1"), false);
  EXPECT_TRUE(first.recorded);
  EXPECT_EQ(verdictName(first.assessment.verdict), "pass");
  const RecordOutcome again = record(run(chip, "2018-07-20T10:00:00", "a1"), false);
  EXPECT_FALSE(again.recorded);
  EXPECT_EQ(again.runId, first.runId);
  const RecordOutcome redone = record(run(chip, "2018-07-20T10:00:00", "a1"), true);
  EXPECT_TRUE(redone.recorded);
  EXPECT_NE(redone.runId, first.runId);
  // Later: one channel's gain moved 20 % apart from the others'.
  RunInput later = run(chip, "2018-07-25T12:35:10", "b2", 20);
  *later.results->channels[5].gain *= 1.2;
  const RecordOutcome changed = record(later, false);
  EXPECT_EQ(verdictName(changed.assessment.verdict), "fail");
  ASSERT_EQ(changed.assessment.reasons.size(), 1u);
  EXPECT_EQ(changed.assessment.reasons[0].code, "gain_change");
  EXPECT_NE(changed.assessment.reasons[0].detail.find("(run " + std::to_string(redone.runId) + ")"),
            std::string::npos);
  // An error is no calibration to compare with.
  RunInput broken = run(chip, "2018-07-26T08:00:00", "c3");
  broken.assessment = notAnalysed("calib killed by signal 9 (Killed)");
  const RecordOutcome error1 = record(broken, false);
  EXPECT_EQ(verdictName(error1.assessment.verdict), "error");
  const RecordOutcome last = record(run(chip, "2018-07-27T08:00:00", "d4", 20), false);
  ASSERT_FALSE(last.assessment.reasons.empty());
  EXPECT_NE(last.assessment.reasons[0].detail.find("(run " + std::to_string(changed.runId) + ")"), std::string::npos);
  record(run("other", "2018-07-21T00:00:00", "e5"), false);

  const Result<std::vector<RunRow>> chips = store->chips(false);
  ASSERT_TRUE(chips) << chips.error().message;
  ASSERT_EQ(chips->size(), 2u);
  EXPECT_EQ((*chips)[0].chip, chip);
  EXPECT_EQ((*chips)[0].runId, last.runId);
  EXPECT_EQ((*chips)[0].runsOfChipAndConfig, 4);  // the superseded record not among them
  EXPECT_EQ(store->chips(true)->size(), 1u);

  EXPECT_EQ(store->history(chip, Records::Current)->runs.size(), 4u);
  const Result<ChipHistory> history = store->history(chip, Records::All);
  ASSERT_TRUE(history) << history.error().message;
  std::vector<std::int64_t> ids;
  for (const RunRow& r : history->runs) ids.push_back(r.runId);
  EXPECT_EQ(ids, (std::vector<std::int64_t>{first.runId, redone.runId, changed.runId, error1.runId, last.runId}));
  EXPECT_EQ(history->runs[0].supersededBy, redone.runId);
  EXPECT_EQ(history->gains.at(changed.runId).size(), 32u);
  EXPECT_DOUBLE_EQ(*history->gains.at(changed.runId)[5].gain, 20 * 1.005 * 1.2);
  EXPECT_EQ(store->channels(Records::All)->size(), 32u * 6);
  EXPECT_EQ(store->channels(Records::Current)->size(), 32u * 5);
  // What a run is recorded as is what the listings read back.
  const Result<std::vector<RunRow>> all = store->runs(Records::All);
  ASSERT_TRUE(all);
  const auto read = std::find_if(all->begin(), all->end(), [&](const RunRow& r) { return r.runId == last.runId; });
  ASSERT_NE(read, all->end());
  EXPECT_EQ(read->reasons, last.row.reasons);
  EXPECT_EQ(read->medianGain, last.row.medianGain);
  EXPECT_EQ(read->analysedAt, last.row.analysedAt);

  // The results document comes back whole from its compressed column, by analysis; bytes that are
  // not a zstd frame are said to be so.
  ASSERT_TRUE(store->database().run("UPDATE run SET results_zstd = $1 WHERE run_id = $2", {Blob{"not zstd"}, last.runId}));
  const Result<std::map<std::int64_t, Result<std::string>>> files =
      store->resultsFiles({first.runId, last.runId, last.runId + 100});
  ASSERT_TRUE(files) << files.error().message;
  ASSERT_EQ(files->size(), 2u);
  EXPECT_EQ(files->at(first.runId).value_or(""), "{\"chip\": \"" + chip + "\"}");
  ASSERT_FALSE(files->at(last.runId));
  EXPECT_EQ(files->at(last.runId).error().message, "the stored results are not a zstd frame of known size");

  // Criteria of a version known with another text are refused.
  Criteria edited = criteria;
  edited.text += "# edited\n";
  edited.sha256 = std::string(64, 'f');
  const Result<std::int64_t> refused = store->criteriaId(edited);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("give the changed criteria a new version"), std::string::npos);
}

TEST_P(StoreTest, WritersAtOnceLoseAndDuplicateNothing) {
  const Criteria criteria = defaultCriteria();
  std::vector<RunInput> runs;
  for (int i = 0; i < 16; ++i)
    runs.push_back(run("chip" + std::to_string(i % 4), "2018-07-2" + std::to_string(i / 4) + "T00:00:00",
                       "sha" + std::to_string(i)));
  std::atomic<int> recorded = 0;
  std::vector<std::string> errors(2);
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      Result<std::unique_ptr<Store>> store = Store::open(url_);
      if (!store) {
        errors[w] = store.error().message;
        return;
      }
      if (const Result<CriteriaInForce> id = (*store)->startCriteria(criteria); !id) {
        errors[w] = id.error().message;
        return;
      }
      std::vector<RunInput> mine = runs;
      std::shuffle(mine.begin(), mine.end(), std::mt19937(w));
      for (const RunInput& in : mine) {
        const Result<RecordOutcome> o = (*store)->record(in, Store::Supersede::IfNotFinal);
        if (!o) {
          errors[w] = o.error().message;
          return;
        }
        recorded += o->recorded;
      }
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(errors, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(recorded, 16);
  const std::unique_ptr<Store> store = open();
  EXPECT_EQ(store->runs(Records::All)->size(), 16u);
  EXPECT_EQ(store->channels(Records::All)->size(), 16u * 32);
}

TEST_P(StoreTest, ASchemaNewerThanTheProgramIsRefused) {
  {
    const std::unique_ptr<Store> store = open();
    ASSERT_TRUE(store->database().run("UPDATE calib_schema SET version = 99"));
  }
  const Result<std::unique_ptr<Store>> store = Store::open(url_);
  ASSERT_FALSE(store);
  EXPECT_NE(store.error().message.find("the database has schema version 99, newer than this program's (" +
                                      std::to_string(kSchemaVersion) + ")"),
            std::string::npos)
      << store.error().message;
}

// The previous calibration of each run, as the rule, the database,
// history and the report each find it: recorded in this order, each with
// the run it expects ("" for none). The same content analysed again, two
// runs on one day, an error, equal times, another configuration and chip,
// a record superseded by a forced one, and a copy of earlier content.
TEST_P(StoreTest, EveryoneFindsThePreviousCalibrationTheRuleDefines) {
  struct Case {
    std::string label, chip, config, measuredAt, sha;
    bool error, supersede;
    std::string previous;
  };
  const std::string k = "20mV_calib-odd";
  const Case cases[] = {
      {"A", "X", k, "2018-07-20T10:00:00", "a", false, false, ""},
      {"B", "X", k, "2018-07-21T09:00:00", "b", false, false, "A"},
      {"C", "X", k, "2018-07-21T15:00:00", "c", false, false, "B"},   // two on one day
      {"C2", "X", k, "2018-07-21T15:00:00", "c", false, true, "B"},   // the same content analysed again
      {"D", "X", k, "2018-07-22T08:00:00", "d", true, false, "C2"},   // an error; equal times: the later record
      {"E", "X", k, "2018-07-23T08:00:00", "e", false, false, "C2"},  // not the error
      {"F", "X", k, "2018-07-23T08:00:00", "f", false, false, "C2"},  // not E, measured at the same time
      {"G", "X", "4mV_calib", "2018-07-24T08:00:00", "g", false, false, ""},
      {"Y", "Y", k, "2018-07-19T08:00:00", "y", false, false, ""},
      {"H", "X", k, "2018-07-25T08:00:00", "h", false, false, "F"},
      {"H2", "X", k, "2018-07-25T08:00:00", "h", false, true, "F"},  // supersedes H
      {"I", "X", k, "2018-07-26T08:00:00", "i", false, false, "H2"},  // not H, superseded
      {"J", "X", k, "2018-07-27T08:00:00", "i", false, true, "H2"},   // a copy of I, which it supersedes
  };
  const std::unique_ptr<Store> store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->startCriteria(defaultCriteria()));
  std::map<std::string, std::int64_t> ids;
  for (const Case& c : cases) {
    RunInput in = run(c.chip, c.measuredAt, c.sha);
    in.config = c.config;
    if (c.error) in.assessment = notAnalysed("calib killed by signal 9 (Killed)");
    const Result<RecordOutcome> o =
        store->record(in, c.supersede ? Store::Supersede::Always : Store::Supersede::IfNotFinal);
    ASSERT_TRUE(o && o->recorded) << c.label;
    ids[c.label] = o->runId;
  }
  std::map<std::int64_t, std::string> labels;
  for (const auto& [label, id] : ids) labels[id] = label;
  const auto labelOf = [&](std::optional<std::int64_t> id) { return id ? labels.at(*id) : std::string(); };

  const Result<std::vector<RunRow>> runs = store->runs(Records::All);
  ASSERT_TRUE(runs);
  std::vector<CalibrationKey> keys;
  for (const RunRow& r : *runs) keys.push_back(calibrationKey(r));
  const Result<ChipHistory> history = store->history("X", Records::All);
  ASSERT_TRUE(history);
  std::map<std::string, std::string> inHistory;
  for (const HistoryEntry& e : compareHistory(*history)) inHistory[labels.at(e.run->runId)] = labelOf(e.previousRunId);
  const Result<CurrentRuns> current = store->currentRuns();
  ASSERT_TRUE(current);
  const SiteModel site = buildSiteModel(current->runs, current->channels, current->criteria, {});
  std::map<std::string, std::string> inReport;
  for (const SiteRun& r : site.runs)
    inReport[labels.at(r.row.runId)] = r.previous ? labels.at(site.runs[*r.previous].row.runId) : "";

  for (const Case& c : cases) {
    const std::size_t i = static_cast<std::size_t>(
        std::find_if(runs->begin(), runs->end(), [&](const RunRow& r) { return r.runId == ids[c.label]; }) -
        runs->begin());
    const std::optional<std::size_t> byRule = previousCalibration(keys[i], keys);
    EXPECT_EQ(byRule ? labels.at(keys[*byRule].runId) : "", c.previous) << c.label << ": the rule";
    const Result<std::optional<PreviousCalibration>> inDatabase = store->previousCalibration(keys[i]);
    ASSERT_TRUE(inDatabase);
    EXPECT_EQ(*inDatabase ? labels.at((*inDatabase)->runId) : "", c.previous) << c.label << ": the database";
    if (inReport.contains(c.label)) EXPECT_EQ(inReport[c.label], c.previous) << c.label << ": the report";
    // History compares the calibrations of today's records only.
    if (c.chip == "X" && keys[i].current && keys[i].succeeded)
      EXPECT_EQ(inHistory[c.label], c.previous) << c.label << ": history";
  }
  EXPECT_FALSE(inReport.contains("H"));  // superseded: not in the report
  EXPECT_EQ(inHistory["H"], "");          // nor compared in history
}

// A record's judgement without the run ids its reasons cite, which judging
// again renumbers.
std::string judgement(const RunRow& r) {
  static const std::regex runId(R"(\(run \d+\))");
  return r.verdict + " " + r.reasonCodes + " " + std::regex_replace(r.reasons, runId, "(run)");
}

// Criteria set and set back: every current record judged again from its
// stored figures, the verdicts those criteria give, and after setting the
// first ones again exactly the judgements recording gave.
TEST_P(StoreTest, JudgingAgainGivesWhatJudgingTheResultsGives) {
  const std::unique_ptr<Store> store = open();
  ASSERT_TRUE(store && store->startCriteria(defaultCriteria()));
  RunInput dead = run("A", "2018-07-20T10:00:00", "a1");
  dead.results->channels[3].status = "dead";
  dead.results->channels[3].gain = 0.01;
  RunInput moved = run("B", "2018-07-21T10:00:00", "b2", 20);
  *moved.results->channels[5].gain *= 1.2;
  RunInput clipped = run("C", "2018-07-20T10:00:00", "c1", 45);
  for (ChannelResult& ch : clipped.results->channels) ch.status = "clipped";
  clipped.results->gainMedian.reset();
  clipped.results->gainSpreadPercent.reset();
  RunInput killed = run("D", "2018-07-20T10:00:00", "d1");
  killed.assessment = notAnalysed("calib killed by signal 9 (Killed)");
  const RunInput inputs[] = {run("B", "2018-07-20T10:00:00", "b1"), dead, moved, clipped, killed,
                             run("A", "2018-07-22T10:00:00", "a2")};
  for (const RunInput& in : inputs) ASSERT_TRUE(store->record(in, Store::Supersede::IfNotFinal));
  const auto judgements = [&] {
    std::map<std::string, std::string> byContent;
    const Result<std::vector<RunRow>> current = store->runs(Records::Current);
    for (const RunRow& r : *current) byContent[r.inputSha256] = judgement(r);
    return byContent;
  };
  const std::map<std::string, std::string> recorded = judgements();
  EXPECT_EQ(recorded.at("a2").substr(0, 4), "pass");  // channel 3 repaired: not compared
  EXPECT_NE(recorded.at("c1").find("the median gain of the fitted channels is 45.70 mV/fC"), std::string::npos);

  Criteria lab = *parseCriteria("name = \"lab\"\nversion = \"2\"\n[channels]\nmax_not_ok = 1\n", "lab.toml");
  const Result<Rejudged> set = store->setCriteria(lab);
  ASSERT_TRUE(set) << set.error().message;
  EXPECT_TRUE(set->changedCriteria);
  EXPECT_EQ(set->records, 6u);
  std::vector<std::string> changed;
  for (const auto& [row, before] : set->changed) changed.push_back(row.chip + " " + before + " → " + row.verdict);
  EXPECT_EQ(changed, (std::vector<std::string>{"A fail → pass", "B fail → pass"}));
  // A record judged again finds its results with its analysis.
  const RunRow& judgedAgain = set->changed[0].first;
  EXPECT_NE(judgedAgain.analysisId, judgedAgain.runId);
  EXPECT_EQ(store->resultsFiles({judgedAgain.analysisId})->at(judgedAgain.analysisId).value_or(""), "{\"chip\": \"A\"}");
  EXPECT_EQ(store->runs(Records::Current)->size(), 6u);
  EXPECT_EQ(store->runs(Records::All)->size(), 12u);
  EXPECT_EQ(store->channels(Records::Current)->size(), 6u * 32);  // shared with the analyses
  EXPECT_EQ(store->criteriaInForce()->value().criteria.name, "lab");
  // The same criteria again: nothing to judge.
  EXPECT_EQ(store->setCriteria(lab)->records, 0u);

  ASSERT_TRUE(store->setCriteria(defaultCriteria()));
  EXPECT_EQ(judgements(), recorded);
  const Result<RecordOutcome> later = store->record(run("B", "2018-07-23T10:00:00", "b3"), Store::Supersede::IfNotFinal);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->row.criteria, "default 1");
}

// A calibration recorded after the one measured next, or analysed again
// under it, changes what that one is compared with: the next one is judged
// again in the same transaction, and its reason cites the current record.
TEST_P(StoreTest, ACalibrationRecordedLateOrAnalysedAgainJudgesTheNextAgain) {
  const std::unique_ptr<Store> store = open();
  ASSERT_TRUE(store && store->startCriteria(defaultCriteria()));
  const auto record = [&](const RunInput& in, Store::Supersede supersede) {
    const Result<RecordOutcome> o = store->record(in, supersede);
    EXPECT_TRUE(o && o->recorded);
    return o ? o->runId : 0;
  };
  const auto currentOf = [&](const std::string& sha) {
    const Result<std::vector<RunRow>> runs = store->runs(Records::Current);
    const auto it = std::find_if(runs->begin(), runs->end(), [&](const RunRow& r) { return r.inputSha256 == sha; });
    return it == runs->end() ? RunRow{} : *it;
  };
  // Day 3 first, compared with nothing; day 1, recorded late, with a gain
  // 10 % off in channel 5: day 3 judged again, against it.
  record(run("X", "2018-07-23T10:00:00", "day3"), Store::Supersede::IfNotFinal);
  EXPECT_EQ(currentOf("day3").verdict, "pass");
  RunInput day1 = run("X", "2018-07-21T10:00:00", "day1");
  *day1.results->channels[5].gain *= 1.1;
  const std::int64_t first = record(day1, Store::Supersede::IfNotFinal);
  const RunRow judged = currentOf("day3");
  EXPECT_EQ(judged.verdict, "fail");
  EXPECT_NE(judged.reasons.find("(run " + std::to_string(first) + ")"), std::string::npos) << judged.reasons;
  EXPECT_EQ(judged.analysisId, 1);  // the same analysis
  // Day 1 analysed again, its channel 5 as the others: day 3 passes again.
  const std::int64_t again = record(run("X", "2018-07-21T10:00:00", "day1"), Store::Supersede::Always);
  EXPECT_NE(again, first);
  EXPECT_EQ(currentOf("day3").verdict, "pass");
  EXPECT_EQ(store->runs(Records::All)->size(), 5u);  // day 3 three times, day 1 twice
  // Recorded again with no change in judgement: nothing new for day 3.
  record(run("X", "2018-07-20T10:00:00", "day0"), Store::Supersede::IfNotFinal);
  EXPECT_EQ(store->runs(Records::All)->size(), 6u);

  // Chip Y: day 2, then day 3 (channel 5 10 % up: fails, citing day 2);
  // then day 1 late (channel 5 up too): day 2 fails against it, and day 3,
  // whose verdict cited day 2's record, cites day 2's new one.
  RunInput up = run("Y", "2018-07-23T10:00:00", "y3");
  *up.results->channels[5].gain *= 1.1;
  record(run("Y", "2018-07-22T10:00:00", "y2"), Store::Supersede::IfNotFinal);
  record(up, Store::Supersede::IfNotFinal);
  up.inputSha256 = "y1";
  up.measuredAt = "2018-07-21T10:00:00";
  const Result<RecordOutcome> late = store->record(up, Store::Supersede::IfNotFinal);
  ASSERT_TRUE(late && late->recorded);
  std::vector<std::string> judgedAgain;
  for (const auto& [row, before] : late->judgedAgain) judgedAgain.push_back(row.inputSha256 + " " + before + " → " + row.verdict);
  EXPECT_EQ(judgedAgain, (std::vector<std::string>{"y2 pass → fail", "y3 fail → fail"}));
  EXPECT_NE(currentOf("y3").reasons.find("(run " + std::to_string(currentOf("y2").runId) + ")"), std::string::npos)
      << currentOf("y3").reasons;
}

// A database of the previous schema, made by the previous release (two
// batches of a stand's tree, the second with other criteria, and a cut .gz
// tried twice), loaded as it is into SQLite or PostgreSQL and migrated:
// every record kept, one current record per content, the criteria of the
// last batch in force.
TEST_P(StoreTest, AVersionOneDatabaseMigratesKeepingEveryRecord) {
  const std::string fixture = std::string(CALIB_FIXTURE_DIR) + "/store-v1.sqlite";
  const std::string copy = dir_ / "v1.sqlite";
  std::filesystem::copy_file(fixture, copy);
  std::unique_ptr<Database> v1 = *openDatabase("sqlite:" + copy, Access::ReadOnly);
  if (GetParam() == Backend::Postgres) {
    std::unique_ptr<Database> pg = *openDatabase(url_);
    ASSERT_TRUE(pg->runScript(schemaScript(1, Dialect::Postgres)));
    ASSERT_TRUE(pg->runScript("CREATE TABLE calib_schema (version INTEGER NOT NULL); INSERT INTO calib_schema VALUES (1)"));
    for (const std::string table : {"chip", "criteria_set", "run", "run_reason", "channel_result"}) {
      // Runs from the last: a superseded run refers to a later one.
      const Result<std::vector<Row>> rows =
          v1->run("SELECT * FROM " + table + (table == "run" ? " ORDER BY run_id DESC" : ""));
      ASSERT_TRUE(rows && !rows->empty()) << table;
      std::string parameters;
      for (std::size_t i = 1; i <= rows->front().size(); ++i) parameters += (i > 1 ? ", $" : "$") + std::to_string(i);
      for (const Row& row : *rows)
        ASSERT_TRUE(pg->run("INSERT INTO " + table + " VALUES (" + parameters + ")", row)) << table;
    }
    for (const auto& [table, id] : {std::pair{"chip", "chip_id"}, {"criteria_set", "criteria_id"}, {"run", "run_id"}})
      ASSERT_TRUE(pg->run(std::string("SELECT setval(pg_get_serial_sequence('") + table + "', '" + id +
                          "'), (SELECT MAX(" + id + ") FROM " + table + "))"));
  } else {
    url_ = "sqlite:" + copy;
  }
  const auto count = [&](Database& db, const std::string& sql) { return asInt(db.run(sql)->at(0).at(0)).value_or(-1); };
  const std::int64_t records = count(*v1, "SELECT COUNT(*) FROM run");
  const std::int64_t channels = count(*v1, "SELECT COUNT(*) FROM channel_result");
  const std::int64_t contents = count(*v1, "SELECT COUNT(DISTINCT input_sha256) FROM run");
  ASSERT_EQ(records, 11);
  ASSERT_EQ(contents, 5);
  v1.reset();

  const std::unique_ptr<Store> store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(count(store->database(), "SELECT version FROM calib_schema"), kSchemaVersion);
  EXPECT_EQ(store->runs(Records::All)->size(), static_cast<std::size_t>(records));
  EXPECT_EQ(store->channels(Records::All)->size(), static_cast<std::size_t>(channels));
  // The baselines, which that version did not keep, read from the stored results.
  // Unknown only where calib measured none (no data in the channel).
  EXPECT_EQ(count(store->database(), "SELECT COUNT(*) FROM channel_result WHERE baseline_adc > 50"), 256);
  EXPECT_EQ(count(store->database(),
                  "SELECT COUNT(*) FROM channel_result WHERE (baseline_adc IS NULL) <> (status = 'no_data')"),
            0);
  const Result<std::vector<RunRow>> current = store->runs(Records::Current);
  ASSERT_TRUE(current);
  std::set<std::string> shas;
  for (const RunRow& r : *current) {
    shas.insert(r.inputSha256);
    EXPECT_EQ(r.criteria, "lab 2") << r.runId;  // the record made last of each content
  }
  EXPECT_EQ(current->size(), static_cast<std::size_t>(contents));
  EXPECT_EQ(shas.size(), static_cast<std::size_t>(contents));
  EXPECT_EQ(store->criteriaInForce()->value().criteria.name, "lab");
  std::vector<std::int64_t> runsPerChip;
  const Result<std::vector<RunRow>> chips = store->chips(false);
  for (const RunRow& r : *chips) runsPerChip.push_back(r.runsOfChipAndConfig);
  EXPECT_EQ(runsPerChip, (std::vector<std::int64_t>{2, 2, 1}));
  // Usable as any database of this version: judged again by the defaults.
  const Result<Rejudged> set = store->setCriteria(defaultCriteria());
  ASSERT_TRUE(set) << set.error().message;
  EXPECT_EQ(set->records, static_cast<std::size_t>(contents));
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "Sqlite" : "Postgres"; });

// The run columns the program writes are the run table's columns (as
// created, and added by later versions), on both databases.
TEST(Store, TheRunColumnsAreThoseOfTheSchema) {
  for (const Dialect dialect : {Dialect::Sqlite, Dialect::Postgres}) {
    std::set<std::string> inSchema;
    for (int version = 1; version <= kSchemaVersion; ++version) {
      const std::string schema = schemaScript(version, dialect);
      if (const std::size_t start = schema.find("CREATE TABLE run ("); start != std::string::npos) {
        std::istringstream lines(schema.substr(start, schema.find(");", start) - start));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) inSchema.insert(line.substr(2, line.find(' ', 2) - 2));
      }
      const std::string added = "ALTER TABLE run ADD COLUMN ";
      for (std::size_t at = schema.find(added); at != std::string::npos; at = schema.find(added, at + 1)) {
        const std::size_t name = at + added.size();
        inSchema.insert(schema.substr(name, schema.find(' ', name) - name));
      }
    }
    std::set<std::string> written = {"run_id",        "chip_id",     "criteria_id",
                                     "superseded_by", "results_zstd", "analysis_id"};
    for (const RunColumn& column : runColumns())
      if (!column.insert.empty()) EXPECT_TRUE(written.insert(std::string(column.insert)).second) << column.insert;
    EXPECT_EQ(written, inSchema);
  }
}

}  // namespace
}  // namespace calib::production
