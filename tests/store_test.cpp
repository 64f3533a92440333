// The results database, the same cases on SQLite and on a PostgreSQL
// server the test starts: every run kept, identities unique, latest and
// previous as queries, values stored as given, and writers from several
// connections at once losing and duplicating nothing.
#include "production/store.hpp"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <random>
#include <thread>

#include "postgres_server.hpp"
#include "production/schema.hpp"
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
    std::string error;
    std::unique_ptr<Store> store = Store::open(url_, error);
    EXPECT_TRUE(store) << error;
    return store;
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
  std::string error;
  const std::optional<std::int64_t> criteriaId = store->criteriaId(criteria, error);
  ASSERT_TRUE(criteriaId) << error;
  EXPECT_EQ(store->criteriaId(criteria, error), criteriaId);

  const auto record = [&](const RunInput& in, bool supersede) {
    const std::optional<RecordOutcome> o = store->record(in, criteria, *criteriaId, supersede, error);
    EXPECT_TRUE(o) << error;
    return o.value_or(RecordOutcome{});
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

  const std::optional<std::vector<RunRow>> chips = store->chips(false, error);
  ASSERT_TRUE(chips) << error;
  ASSERT_EQ(chips->size(), 2u);
  EXPECT_EQ((*chips)[0].chip, chip);
  EXPECT_EQ((*chips)[0].runId, last.runId);
  EXPECT_EQ((*chips)[0].runsOfChipAndConfig, 4);  // the superseded record not among them
  EXPECT_EQ(store->chips(true, error)->size(), 1u);

  std::map<std::int64_t, std::vector<std::optional<double>>> gains;
  const std::optional<std::vector<RunRow>> history = store->history(chip, gains, error);
  ASSERT_TRUE(history) << error;
  std::vector<std::int64_t> ids;
  for (const RunRow& r : *history) ids.push_back(r.runId);
  EXPECT_EQ(ids, (std::vector<std::int64_t>{first.runId, redone.runId, changed.runId, error1.runId, last.runId}));
  EXPECT_EQ((*history)[0].supersededBy, redone.runId);
  EXPECT_EQ(gains.at(changed.runId).size(), 32u);
  EXPECT_DOUBLE_EQ(*gains.at(changed.runId)[5], 20 * 1.005 * 1.2);
  EXPECT_EQ(store->allChannels(error)->size(), 32u * 6);

  // The results document comes back whole from its compressed column.
  std::vector<Row> rows;
  ASSERT_TRUE(store->database().run("SELECT results_zstd FROM run WHERE run_id = $1", {first.runId}, &rows, error))
      << error;
  const std::string& blob = std::get<Blob>(rows.at(0).at(0)).bytes;
  std::string text(64, '\0');
  text.resize(ZSTD_decompress(text.data(), text.size(), blob.data(), blob.size()));
  EXPECT_EQ(text, "{\"chip\": \"" + chip + "\"}");

  // Criteria of a version known with another text are refused.
  Criteria edited = criteria;
  edited.text += "# edited\n";
  edited.sha256 = std::string(64, 'f');
  EXPECT_FALSE(store->criteriaId(edited, error));
  EXPECT_NE(error.find("give the changed criteria a new version"), std::string::npos) << error;
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
      std::string& error = errors[w];
      std::unique_ptr<Store> store = Store::open(url_, error);
      if (!store) return;
      const std::optional<std::int64_t> id = store->criteriaId(criteria, error);
      if (!id) return;
      std::vector<RunInput> mine = runs;
      std::shuffle(mine.begin(), mine.end(), std::mt19937(w));
      for (const RunInput& in : mine) {
        const std::optional<RecordOutcome> o = store->record(in, criteria, *id, false, error);
        if (!o) return;
        recorded += o->recorded;
      }
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(errors, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(recorded, 16);
  std::string error;
  const std::unique_ptr<Store> store = open();
  EXPECT_EQ(store->allRuns(error)->size(), 16u);
  EXPECT_EQ(store->allChannels(error)->size(), 16u * 32);
}

TEST_P(StoreTest, ASchemaNewerThanTheProgramIsRefused) {
  {
    const std::unique_ptr<Store> store = open();
    std::string error;
    ASSERT_TRUE(store->database().run("UPDATE calib_schema SET version = 99", {}, nullptr, error)) << error;
  }
  std::string error;
  EXPECT_FALSE(Store::open(url_, error));
  EXPECT_NE(error.find("the database has schema version 99, newer than this program's (1)"), std::string::npos)
      << error;
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "Sqlite" : "Postgres"; });

}  // namespace
}  // namespace calib::production
