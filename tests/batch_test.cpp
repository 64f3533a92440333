// calib-batch end to end, on SQLite and on a PostgreSQL server the test
// starts: a test stand's tree with every kind of fault gives exactly the
// verdicts expected; a batch stopped by SIGTERM and started again ends with
// the database of one never stopped; batches and an ingest writing one
// database at once record every run once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "core/version.hpp"
#include "postgres_server.hpp"
#include "stand_files.hpp"
#include "production/results/results_reader.hpp"
#include "production/site/html.hpp"
#include "production/store/store.hpp"
#include "support/utf8.hpp"
#include "test_util.hpp"

namespace calib::test {
using namespace std::string_literals;

namespace {

namespace fs = std::filesystem;

enum class Backend { Sqlite, Postgres };

class BatchTest : public ::testing::TestWithParam<Backend> {
 protected:
  // A database URL, a new database each call.
  std::string database(const std::string& name) {
    if (GetParam() == Backend::Sqlite) return "sqlite:" + (dir_ / (name + ".sqlite"));
    if (!server_) server_ = std::make_unique<PostgresServer>();
    EXPECT_EQ(server_->error(), "");
    return server_->createDatabase(name);
  }
  // calib-batch in the test's directory; batches take the stand's files as
  // complete (the tests of watch wait for them to settle).
  RunResult batch(std::vector<std::string> args) {
    RunOptions options;
    options.program = CALIB_BATCH_EXE;
    if (!args.empty() && (args[0] == "run" || args[0] == "submit")) args.insert(args.begin() + 1, {"--settle", "0"});
    return runCalib(dir_.path(), args, options);
  }
  // The runs of a database as CSV, less what differs between two databases
  // of the same runs: when they were recorded and where their outputs went.
  std::string runsOf(const std::string& url) {
    const RunResult r = batch({"export", "--db", url, "--what", "runs", "--format", "csv"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    static const std::regex recordedAt(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ,)");
    static const std::regex outputs(",/[^,]*/out\\d/[^,]*,");
    return std::regex_replace(std::regex_replace(r.out, recordedAt, "Z,"), outputs, ",OUT,");
  }

  TempDir dir_;
  std::unique_ptr<PostgresServer> server_;
};

TEST_P(BatchTest, EveryFaultGetsItsVerdict) {
  struct Case {
    std::string chip, config, verdict, reason;
  };
  // The default criteria; each file a chip of its own.
  simulate(dir_ / standPath("100000", "20mV_calib-odd"), trains(20, 1));
  sim::SimOptions o = trains(20, 2);
  o.dead = {3};
  simulate(dir_ / standPath("100001", "20mV_calib-odd"), o);
  o = trains(20, 3);
  o.noisy = {5};
  simulate(dir_ / standPath("100002", "20mV_calib-odd"), o);
  o = trains(20, 4);
  o.outlier = {7};
  simulate(dir_ / standPath("100003", "20mV_calib-odd"), o);
  o = trains(20, 5);
  o.gain = 300;
  simulate(dir_ / standPath("100004", "20mV_calib-odd"), o);
  simulate(dir_ / standPath("100005", "20mV_calib-odd"), trains(20, 6, "4mV_calib"));  // MuCh data named TPC
  put(dir_ / standPath("100006", "20mV_calib-odd"), "");
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>((i * 7919) % 251);
  put(dir_ / standPath("100007", "20mV_calib-odd"), garbage);
  simulate(dir_ / standPath("100008", "4mV_calib", "20180725", "123510", ".gz"), trains(20, 8, "4mV_calib"), true);
  const std::string unreadable = dir_ / standPath("100009", "20mV_calib-odd");
  fs::create_directories(fs::path(unreadable).parent_path());
  fs::create_symlink("/proc/self/mem", unreadable);  // a file no one can read from its start, root neither
  simulate(dir_ / standPath("100010", "20mV_calib-odd"), trains(20, 10));
  writeFile(dir_ / "robot/notes.txt", "stand log\n");
  // calib, but killed on chip 100010.
  writeFile(dir_ / "calib-killed.sh", "#!/bin/sh\nfor a in \"$@\"; do [ \"$a\" = 100010 ] && kill -9 $$; done\nexec " +
                                          std::string(CALIB_EXE) + " \"$@\"\n");
  fs::permissions(dir_ / "calib-killed.sh", fs::perms::owner_all);

  const std::string db = database("faults");
  const RunResult dry = batch({"run", "--dry-run", "--db", db, "robot"});
  EXPECT_EQ(dry.exitStatus, 1) << dry.err;  // the unreadable file
  EXPECT_NE(dry.out.find("dry run: 12 files: 10 to analyse, 0 already recorded, 1 skipped\n"), std::string::npos)
      << dry.out;
  EXPECT_FALSE(fs::exists(dir_ / "calib-out"));
  const RunResult untouched = batch({"chips", "--db", db});  // a dry run makes no tables
  EXPECT_EQ(untouched.exitStatus, 1);
  EXPECT_NE(untouched.err.find("calib-batch run or ingest makes"), std::string::npos) << untouched.err;

  const RunResult r = batch({"run", "--db", db, "--jobs", "2", "--calib", "calib-killed.sh", "robot"});
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_NE(r.err.find("calib-batch: cannot read 'robot/20180725/123510_kelta100009/"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("skipped: robot/notes.txt: the name does not match the pattern\n"), std::string::npos);
  EXPECT_NE(r.out.find("12 files: 10 analysed (2 pass, 5 fail, 3 error), 0 already recorded, 1 skipped\n"),
            std::string::npos)
      << r.out;
  const Case expected[] = {
      {"100000", "20mV_calib-odd", "pass", ""},
      {"100001", "20mV_calib-odd", "fail", "1 channel not ok (at most 0): dead 3"},
      {"100002", "20mV_calib-odd", "fail", "1 channel not ok (at most 0): noisy 5"},
      {"100003", "20mV_calib-odd", "fail", "1 channel not ok (at most 0): gain_outlier 7"},
      {"100004", "20mV_calib-odd", "fail", "32 channels not ok (at most 0): saturated 0-31"},
      {"100005", "20mV_calib-odd", "fail", "channels not ok (at most 0): "},
      {"100006", "20mV_calib-odd", "error", "no pulse train was found in the file (0 lines read)"},
      {"100007", "20mV_calib-odd", "error", "lines read); calib: not a text file"},
      {"100008", "4mV_calib", "pass", ""},
      {"100010", "20mV_calib-odd", "error", "calib killed by signal 9 (Killed)"},
  };
  const RunResult chips = batch({"chips", "--db", db, "--format", "json"});
  ASSERT_EQ(chips.exitStatus, 0) << chips.err;
  for (const Case& c : expected) {
    const std::regex row("\"chip\": \"" + c.chip + "\",\\s*\"config\": \"" + c.config +
                         "\",[^}]*\"verdict\": \"" + c.verdict + "\",[^}]*\"reasons\": \"[^\"]*" +
                         std::regex_replace(c.reason, std::regex(R"([()\[\].*+?])"), R"(\$&)"));
    EXPECT_TRUE(std::regex_search(chips.out, row)) << c.chip << " " << c.verdict << " " << c.reason;
  }
  EXPECT_EQ(batch({"chips", "--db", db, "--failed"}).out.find("100000 "), std::string::npos);
  // A second batch finds every run recorded but the one calib did not
  // analyse, which it tries again; a third, given from below the tree as
  // "..", analyses it and keeps its outputs in the output tree.
  const RunResult again = batch({"run", "--db", db, "--calib", dir_ / "calib-killed.sh", "robot"});
  EXPECT_NE(again.out.find("12 files: 1 analysed (0 pass, 0 fail, 1 error), 9 already recorded (2 errors), 1 skipped"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(again.exitStatus, 1);  // the files whose record is an error are still in the tree
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  const RunResult third =
      runCalib(dir_ / "robot/20180725", {"run", "--db", db, "--out", dir_ / "calib-out", ".."}, options);
  EXPECT_NE(third.out.find("12 files: 1 analysed (1 pass, 0 fail, 0 error), 9 already recorded (2 errors), 1 skipped"),
            std::string::npos)
      << third.out;
  EXPECT_TRUE(fs::exists(dir_ / "calib-out/robot/20180725/123510_kelta100010"));
  EXPECT_FALSE(fs::exists(dir_ / "20180725"));
}

TEST_P(BatchTest, ABatchStoppedAndStartedAgainRecordsWhatAnUninterruptedOneDoes) {
  // Twelve calibrations of six chips, two days each: the second of each is
  // judged against the first.
  for (int i = 0; i < 12; ++i) {
    sim::SimOptions o = trains(40, 100 + i);
    o.chipSeed = 1 + i % 6;
    if (i == 9) o.outlier = {11};  // a channel that changed between the days
    simulate(dir_ / standPath(std::to_string(200 + i % 6), "20mV_calib-odd", i < 6 ? "20180725" : "20180726",
                              std::to_string(110000 + i)),
             o);
  }
  const std::string whole = database("whole");
  const RunResult uninterrupted = batch({"run", "--db", whole, "--out", dir_ / "out1", "robot"});
  ASSERT_EQ(uninterrupted.exitStatus, 0) << uninterrupted.err;
  EXPECT_NE(uninterrupted.out.find("11 pass, 1 fail"), std::string::npos) << uninterrupted.out;

  const std::string stopped = database("stopped");
  {
    RunOptions options;
    options.program = CALIB_BATCH_EXE;
    CalibProcess process(dir_.path(), {"run", "--db", stopped, "--out", dir_ / "out2", "--jobs", "2", "robot"},
                         options);
    // Stopped once a few runs are recorded.
    for (int i = 0; i < 3000; ++i) {
      const Result<std::unique_ptr<production::Store>> store = production::Store::open(stopped);
      const auto runs = store ? (*store)->runs(production::Records::All) : Result<std::vector<production::RunRow>>(failed(""));
      if (runs && runs->size() >= 3) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(process.pid(), SIGTERM);
    const RunResult r = process.wait();
    EXPECT_EQ(r.termSignal, SIGTERM) << r.out << r.err;
  }
  const RunResult resumed = batch({"run", "--db", stopped, "--out", dir_ / "out2", "robot"});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.err;
  EXPECT_NE(resumed.out.find("already recorded"), std::string::npos);
  EXPECT_EQ(runsOf(stopped), runsOf(whole));
  const RunResult channels1 = batch({"export", "--db", whole, "--what", "channels", "--format", "json"});
  const RunResult channels2 = batch({"export", "--db", stopped, "--what", "channels", "--format", "json"});
  EXPECT_TRUE(channels1.out == channels2.out);
  const RunResult history = batch({"history", "--db", whole, "203"});
  EXPECT_NE(history.out.find("chip 203: 2 runs"), std::string::npos) << history.out;
  // Channel 11 turned gain_outlier: left out of the comparison, and named.
  EXPECT_NE(history.out.find("not compared: channel 11 (gain_outlier now)"), std::string::npos) << history.out;
}

TEST_P(BatchTest, BatchesAndAnIngestAtOnceRecordEveryRunOnce) {
  for (int i = 0; i < 8; ++i)
    simulate(dir_ / standPath(std::to_string(300 + i), "20mV_calib-odd", "20180727"), trains(10, 300 + i));
  // Results written elsewhere, by calib itself: of four more files, and of
  // two files of the tree, which are the runs the batches record.
  fs::create_directories(dir_ / "elsewhere");
  std::vector<std::string> results;
  for (int i = 0; i < 4; ++i) {
    const std::string chip = std::to_string(400 + i);
    simulate(dir_ / ("elsewhere/" + chip + ".txt"), trains(10, 400 + i));
    const RunResult r = runCalib(dir_ / "elsewhere", {"--quiet", "--sha256", chip, "20mV_calib-odd", chip + ".txt"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    results.push_back(dir_ / ("elsewhere/gain_kelta" + chip + "_20mV_calib-odd.log.json"));
  }
  for (int i = 0; i < 2; ++i) {
    const std::string chip = std::to_string(300 + i);
    fs::create_directories(dir_ / ("elsewhere/" + chip));
    const RunResult r = runCalib(dir_ / "elsewhere", {"--quiet", "--sha256", "--output-dir", chip, chip,
                                                      "20mV_calib-odd", dir_ / standPath(chip, "20mV_calib-odd", "20180727")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    results.push_back(dir_ / ("elsewhere/" + chip + "/gain_kelta" + chip + "_20mV_calib-odd.log.json"));
  }
  const std::string db = database("shared");
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  std::vector<std::string> ingest = {"ingest", "--db", db};
  ingest.insert(ingest.end(), results.begin(), results.end());
  CalibProcess a(dir_.path(), {"run", "--db", db, "--out", dir_ / "outa", "--jobs", "1", "robot"}, options);
  CalibProcess b(dir_.path(), {"run", "--db", db, "--out", dir_ / "outb", "--jobs", "1", "robot"}, options);
  CalibProcess c(dir_.path(), ingest, options);
  for (CalibProcess* p : {&a, &b, &c}) {
    const RunResult r = p->wait();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
  }
  const std::string runs = runsOf(db);
  EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 1 + 8 + 4) << runs;
  // Ingesting again records nothing.
  const RunResult again = batch(ingest);
  EXPECT_NE(again.out.find("6 results files: 0 recorded, 6 already recorded"), std::string::npos) << again.out;
}

// A stand's tree worked on for days: everything done a second time leaves
// one current record per measurement. New criteria judge again without
// calib (its analyses counted), a batch with other criteria is refused, a
// cut .gz is one final error however often a batch meets it, a repaired
// chip passes, and a new calib version analyses again only when asked,
// into directories of its own, while the report's reading sees every run
// with its channels.
TEST_P(BatchTest, EachMeasurementHasOneCurrentRecordWhateverIsDoneAgain) {
  sim::SimOptions o = trains(10, 1);
  o.chipSeed = 50;
  o.dead = {3};
  simulate(dir_ / standPath("500", "20mV_calib-odd", "20180725"), o);
  o = trains(10, 2);
  o.chipSeed = 50;  // the same chip, repaired
  simulate(dir_ / standPath("500", "20mV_calib-odd", "20180727"), o);
  for (int i = 0; i < 4; ++i) simulate(dir_ / standPath(std::to_string(501 + i), "20mV_calib-odd"), trains(10, 10 + i));
  const std::string cut = dir_ / standPath("509", "20mV_calib-odd", "20180725", "123510", ".gz");
  simulate(cut, trains(10, 9), true);
  fs::resize_file(cut, fs::file_size(cut) / 2);
  // calib, each analysis counted; and calib "9.9.9", an upgrade.
  writeFile(dir_ / "calib-counted.sh", "#!/bin/sh\n[ \"$1\" = --version ] || echo \"$@\" >> " + (dir_ / "calls.log") +
                                           "\nexec " + std::string(CALIB_EXE) + " \"$@\"\n");
  writeFile(dir_ / "calib-next.sh",
            "#!/bin/sh\n[ \"$1\" = --version ] && { echo 'calib 9.9.9'; exit 0; }\n" + std::string(CALIB_EXE) +
                " \"$@\"\ns=$?\nsed -i '0,/\"version\": \"[^\"]*\"/s//\"version\": \"9.9.9\"/' gain_*.json\nexit $s\n");
  for (const char* script : {"calib-counted.sh", "calib-next.sh"}) fs::permissions(dir_ / script, fs::perms::owner_all);
  const auto analyses = [&] {
    const std::string log = fs::exists(dir_ / "calls.log") ? readFile(dir_ / "calls.log") : "";
    return std::count(log.begin(), log.end(), '\n');
  };
  const auto records = [&](const std::string& db, bool all) {
    std::vector<std::string> args = {"export", "--db", db, "--what", "runs", "--format", "csv"};
    if (all) args.push_back("--all");
    const RunResult r = batch(args);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return std::count(r.out.begin(), r.out.end(), '\n') - 1;
  };
  const std::string db = database("days");
  const std::vector<std::string> run = {"run", "--db", db, "--calib", dir_ / "calib-counted.sh", "robot"};

  // Three batches: the cut file is one final error, and fails each batch.
  for (int k = 0; k < 3; ++k) {
    const RunResult r = batch(run);
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(k == 0 ? "7 analysed (5 pass, 1 fail, 1 error)" : "0 analysed (0 pass, 0 fail, 0 error), "
                                                                          "7 already recorded (1 error)"),
              std::string::npos)
        << r.out;
  }
  EXPECT_EQ(analyses(), 7);
  EXPECT_EQ(records(db, true), 7);
  const RunResult failed = batch({"chips", "--db", db, "--failed", "--format", "csv"});
  EXPECT_NE(failed.out.find(",error,input_incomplete,\"calib: error reading ADC file"), std::string::npos) << failed.out;
  EXPECT_EQ(failed.out.find("\n500,"), std::string::npos) << failed.out;  // repaired: channel 3 not compared
  // A copy of chip 501's file named as chip 599: skipped, naming the record.
  fs::create_directories(fs::path(dir_ / standPath("599", "20mV_calib-odd", "20180728")).parent_path());
  fs::copy_file(dir_ / standPath("501", "20mV_calib-odd"), dir_ / standPath("599", "20mV_calib-odd", "20180728"));
  std::vector<std::string> thatDay = run;
  thatDay.back() = "robot/20180728";
  const RunResult copied = batch(thatDay);
  EXPECT_NE(copied.out.find("_kelta599_dunor00_link00_20mV_calib-odd_adc.txt: the same content as run "),
            std::string::npos)
      << copied.out;
  EXPECT_NE(copied.out.find(" of chip 501, 20mV_calib-odd ('"), std::string::npos) << copied.out;
  fs::remove(dir_ / standPath("599", "20mV_calib-odd", "20180728"));

  // Criteria changed twice: every record judged again, no calib started.
  writeFile(dir_ / "lab.toml", "name = \"lab\"\nversion = \"1\"\n[channels]\nmax_not_ok = 1\n");
  writeFile(dir_ / "lab2.toml", "name = \"lab\"\nversion = \"2\"\n[channels]\nmax_not_ok = 0\n");
  const RunResult set = batch({"criteria", "set", "--db", db, "lab.toml"});
  EXPECT_EQ(set.exitStatus, 0) << set.err;
  EXPECT_NE(set.out.find("7 records judged again, 1 verdict changed (1 fail → pass)"), std::string::npos) << set.out;
  ASSERT_EQ(batch({"criteria", "set", "--db", db, "lab2.toml"}).exitStatus, 0);
  EXPECT_EQ(analyses(), 7);
  EXPECT_EQ(records(db, false), 7);
  EXPECT_EQ(records(db, true), 21);
  const RunResult shown = batch({"criteria", "show", "--db", db});
  EXPECT_EQ(shown.out, readFile(dir_ / "lab2.toml"));
  const RunResult chips = batch({"chips", "--db", db});
  EXPECT_TRUE(std::regex_search(chips.out, std::regex("\n500 +20mV_calib-odd +pass +2 "))) << chips.out;
  // A batch with other criteria than the database's is refused, naming both.
  std::vector<std::string> withOld = run;
  withOld.insert(withOld.begin() + 1, {"--criteria", "lab.toml"});
  const RunResult refused = batch(withOld);
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.err.find("--criteria lab.toml is 'lab' version 1, but " + db + " judges by 'lab' version 2"),
            std::string::npos)
      << refused.err;

  // calib 9.9.9: nothing analysed again unless asked.
  std::vector<std::string> upgraded = run;
  upgraded[4] = dir_ / "calib-next.sh";
  const RunResult notAsked = batch(upgraded);
  EXPECT_NE(notAsked.out.find("0 analysed (0 pass, 0 fail, 0 error), 0 already recorded, 7 recorded by calib 1"),
            std::string::npos)
      << notAsked.out;
  EXPECT_NE(notAsked.out.find(") (1 error), 0 skipped"), std::string::npos) << notAsked.out;
  EXPECT_EQ(notAsked.exitStatus, 1);  // the cut file is still in the tree
  upgraded.insert(upgraded.begin() + 1, {"--reanalyse", "--settle", "0"});
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  CalibProcess reanalysis(dir_.path(), upgraded, options);
  // What the report reads, read while the batch records: a run judged
  // from results always has its 32 channels.
  std::size_t snapshots = 0;
  while (!reanalysis.finished()) {
    const Result<std::unique_ptr<production::Store>> store = production::Store::openExisting(db);
    if (!store) continue;
    const Result<production::CurrentRuns> current = (*store)->currentRuns();
    ASSERT_TRUE(current) << current.error().message;
    std::map<std::int64_t, int> channels;
    for (const production::ChannelRow& c : current->channels) ++channels[c.runId];
    for (const production::RunRow& r : current->runs)
      if (r.channelsNotOk) EXPECT_EQ(channels[r.runId], 32) << r.runId;
    ++snapshots;
  }
  const RunResult r = reanalysis.wait();
  EXPECT_GT(snapshots, 0u);
  EXPECT_NE(r.out.find("7 analysed (5 pass, 1 fail, 1 error)"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(records(db, false), 7);
  const RunResult history = batch({"history", "--db", db, "500"});
  EXPECT_NE(history.out.find("chip 500: 2 runs"), std::string::npos) << history.out;
  const RunResult all = batch({"history", "--all", "--db", db, "500", "--format", "csv"});
  // Seven records compared with nothing, the current one of day 3 by its
  // 32 channels (channel 3 as not compared).
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 1 + 7 + 32) << all.out;
  EXPECT_NE(all.out.find(",3,,,,,,ok,dead\n"), std::string::npos) << all.out;
  // The earlier analysis's outputs stay where they were.
  const std::string day1 = dir_ / "calib-out/robot/20180725/123510_kelta500";
  std::vector<std::string> dirs;
  for (const auto& e : fs::directory_iterator(day1)) dirs.push_back(e.path().filename().string());
  std::sort(dirs.begin(), dirs.end());
  ASSERT_EQ(dirs.size(), 2u);
  EXPECT_EQ(dirs[1], dirs[0] + ".calib-9.9.9");

  // Forced again with a calib that cannot analyse (a full disk, say): the
  // results recorded stay current, and the batch fails saying so.
  writeFile(dir_ / "calib-broken.sh", "#!/bin/sh\n[ \"$1\" = --version ] && { echo 'calib 9.9.9'; exit 0; }\nexit 1\n");
  fs::permissions(dir_ / "calib-broken.sh", fs::perms::owner_all);
  const RunResult kept =
      batch({"run", "--force", "--db", db, "--calib", dir_ / "calib-broken.sh", "robot/20180727"});
  EXPECT_EQ(kept.exitStatus, 1);
  EXPECT_NE(kept.out.find("0 analysed (0 pass, 0 fail, 0 error), 1 not analysed again"), std::string::npos) << kept.out;
  EXPECT_NE(kept.err.find("' could not be analysed again (calib exit status 1); its record "), std::string::npos)
      << kept.err;
  EXPECT_NE(batch({"history", "--db", db, "500"}).out.find("chip 500: 2 runs"), std::string::npos);
  EXPECT_EQ(records(db, false), 7);
  EXPECT_EQ(batch({"chips", "--db", db, "--failed", "--format", "csv"}).out.find("\"500\","), std::string::npos);
}

// Results calib wrote in the stand's directories, given relative names (as
// a person runs it): the stand's fields come from the whole path, a cut
// file's error says what calib said, and it fails every ingest of it.
TEST_P(BatchTest, IngestReadsTheStandFromThePathAndCountsErrorsEachTime) {
  const std::string good = dir_ / standPath("700", "20mV_calib-odd", "20180724", "081500");
  const std::string cut = dir_ / standPath("701", "20mV_calib-odd", "20180724", "081600", ".gz");
  simulate(good, trains(5, 70));
  simulate(cut, trains(5, 71), true);
  fs::resize_file(cut, fs::file_size(cut) / 2);
  std::vector<std::string> ingest = {"ingest", "--db", database("ingested")};
  for (const std::string& file : {good, cut}) {
    const std::string where = fs::path(file).parent_path();
    const std::string chip = fs::path(file).filename().string().substr(12, 3);
    // calib's messages kept beside its results, as a batch keeps them.
    const RunResult r = runCalib(where, {"--quiet", "--sha256", chip, "20mV_calib-odd", fs::path(file).filename().string()});
    writeFile(where + "/calib.err", r.err);
    ingest.push_back(where + "/gain_kelta" + chip + "_20mV_calib-odd.log.json");
  }
  for (int k = 0; k < 2; ++k) {
    const RunResult r = batch(ingest);
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(k == 0 ? "2 results files: 2 recorded, 0 already recorded\n"
                                : "2 results files: 0 recorded, 2 already recorded (1 error)\n"),
              std::string::npos)
        << r.out;
  }
  const RunResult runs = batch({"export", "--db", ingest[2], "--what", "runs", "--format", "csv"});
  EXPECT_NE(runs.out.find(",\"700\",20mV_calib-odd,TPC,2018-07-24T08:15:00,pass,"), std::string::npos) << runs.out;
  EXPECT_NE(runs.out.find(",\"20180724\",\"081500\",\"dunor00\",\"link00\","), std::string::npos) << runs.out;
  EXPECT_NE(runs.out.find(",error,input_incomplete,\"calib: error reading ADC file '"), std::string::npos) << runs.out;
}

// Chip strings of any bytes the name pattern reads (all but "_" and "/"),
// in a tree below a directory whose name is not UTF-8 (so is then every
// path stored): each file is analysed under its chip string and passes;
// the tables and messages show control bytes and bytes that are not UTF-8
// escaped, CSV keeps the text but neutralises what a spreadsheet would
// run, JSON is valid, the report escapes HTML, and nothing aborts. What
// is neither file nor directory is listed as skipped.
TEST_P(BatchTest, HostileNamesAreAnalysedAndShownSafelyEverywhere) {
  const bool pg = GetParam() == Backend::Postgres;  // PostgreSQL keeps text as UTF-8
  const std::string r = "\xEF\xBF\xBD";                 // U+FFFD, what it keeps of "\xe9"
  struct Case {
    std::string chip;
    std::string shown;  // in a table
    std::string csv;    // as a CSV cell (a chip is always quoted)
  };
  const Case cases[] = {
      // bytes that are not UTF-8, and terminal controls
      {"\xe9", "\\xe9", "\"\xe9\""},
      {"a\x1b[2Kb\x1b]0;t\x07", "a\\x1b[2Kb\\x1b]0;t\\x07", "\"a\x1b[2Kb\x1b]0;t\x07\""},
      {"x\ry", "x\\ry", "\"x\ry\""},
      {"l\nf", "l\\nf", "\"l\nf\""},
      // formulas for a spreadsheet
      {"\t=1", "\\t=1", "\"'\t=1\""},
      {"=cmd|calc!A0", "=cmd|calc!A0", "\"'=cmd|calc!A0\""},
      {"+SUM(1)", "+SUM(1)", "\"'+SUM(1)\""},
      {"@SUM(1)", "@SUM(1)", "\"'@SUM(1)\""},
      {"-2+3", "-2+3", "\"'-2+3\""},
      // options of calib
      {"--no-json", "--no-json", "\"'--no-json\""},
      {"--output-dir", "--output-dir", "\"'--output-dir\""},
      {"--help", "--help", "\"'--help\""},
      // quotes and HTML
      {"say\"hi'", "say\"hi'", "\"say\"\"hi'\""},
      {"<script>", "<script>", "\"<script>\""},
  };
  const std::string root = dir_ / "caf\xe9";
  for (std::size_t i = 0; i < std::size(cases); ++i)
    simulate(root + "/" + standPath(cases[i].chip, "20mV_calib-odd"), trains(10, 300 + i));
  ASSERT_EQ(::mkfifo((root + "/robot/fifo_adc.txt").c_str(), 0600), 0);
  fs::create_symlink("gone_adc.txt", root + "/robot/dangling_adc.txt");
  const std::string db = database("hostile");
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  const auto batchIn = [&](const std::vector<std::string>& args) { return runCalib(root, args, options); };
  // What a terminal is given: no control byte but the line feeds, UTF-8.
  const auto terminalSafe = [](const std::string& text) {
    return isValidUtf8(text) && std::all_of(text.begin(), text.end(), [](char c) {
             return c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
           });
  };
  const auto parsed = [](const RunResult& result) {
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return nlohmann::json::parse(result.out, nullptr, false);  // discarded when not valid
  };

  const RunResult run = batchIn({"run", "--settle", "0", "--db", db, "robot"});
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("16 files: 14 analysed (14 pass, 0 fail, 0 error), 0 already recorded, 2 skipped\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("skipped: robot/dangling_adc.txt: a dangling symbolic link\n"), std::string::npos);
  EXPECT_NE(run.out.find("skipped: robot/fifo_adc.txt: not a regular file: a FIFO\n"), std::string::npos);
  const RunResult again = batchIn({"run", "--settle", "0", "--db", db, "robot"});
  EXPECT_NE(again.out.find("16 files: 0 analysed (0 pass, 0 fail, 0 error), 14 already recorded, 2 skipped\n"),
            std::string::npos)
      << again.out;
  const RunResult chips = batchIn({"chips", "--db", db});
  EXPECT_EQ(chips.exitStatus, 0) << chips.err;
  for (const RunResult* shown : {&run, &again, &chips}) EXPECT_TRUE(terminalSafe(shown->out + shown->err)) << shown->out;

  const nlohmann::json chipsJson = parsed(batchIn({"chips", "--db", db, "--format", "json"}));
  ASSERT_TRUE(chipsJson.is_array());
  std::map<std::string, std::string> verdicts;
  for (const auto& row : chipsJson) verdicts[row.at("chip").get<std::string>()] = row.at("verdict").get<std::string>();
  const RunResult chipsCsv = batchIn({"chips", "--db", db, "--format", "csv"});
  const RunResult runsCsv = batchIn({"export", "--db", db, "--all", "--format", "csv"});
  EXPECT_EQ(runsCsv.exitStatus, 0) << runsCsv.err;
  const nlohmann::json runsJson = parsed(batchIn({"export", "--db", db, "--all", "--format", "json"}));
  EXPECT_EQ(runsJson.size(), std::size(cases));
  for (const std::string format : {"csv", "json"}) {
    const RunResult channels = batchIn({"export", "--db", db, "--what", "channels", "--format", format});
    EXPECT_EQ(channels.exitStatus, 0) << channels.err;
    if (format == "json") EXPECT_EQ(nlohmann::json::parse(channels.out, nullptr, false).size(), 32 * std::size(cases));
  }
  const RunResult report = batchIn({"report", "--db", db, "--out", "report"});
  EXPECT_EQ(report.exitStatus, 0) << report.err;
  const std::string index = readFile(root + "/report/index.html");

  for (const Case& c : cases) {
    const std::string inJson = validUtf8(c.chip);
    const bool replaced = pg && inJson != c.chip;  // as stored
    EXPECT_EQ(verdicts[inJson], "pass") << c.shown;
    EXPECT_NE(chips.out.find("\n" + (replaced ? r : c.shown) + " "), std::string::npos) << c.shown << "\n" << chips.out;
    for (const RunResult* csv : {&chipsCsv, &runsCsv})
      EXPECT_NE(csv->out.find("," + (replaced ? "\"" + r + "\"" : c.csv) + ",20mV_calib-odd,TPC,"), std::string::npos)
          << c.shown << "\n" << csv->out;
    EXPECT_NE(index.find("data-chip=\"" + production::html::escape(replaced ? r : c.chip) + "\""), std::string::npos)
        << c.shown;
    // history takes the chip after "--", as it may look like an option.
    const RunResult table = batchIn({"history", "--db", db, "--", c.chip});
    EXPECT_EQ(table.exitStatus, 0) << table.err;
    EXPECT_TRUE(table.out.starts_with("chip " + c.shown + ": 1 run\n")) << table.out;
    EXPECT_TRUE(terminalSafe(table.out)) << table.out;
    EXPECT_EQ(batchIn({"history", "--db", db, "--format", "csv", "--", c.chip}).exitStatus, 0) << c.shown;
    const nlohmann::json history = parsed(batchIn({"history", "--db", db, "--format", "json", "--", c.chip}));
    EXPECT_EQ(history.value("chip", ""), inJson) << c.shown;
  }
  EXPECT_EQ(index.find("data-chip=\"<script>\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, BatchTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "Sqlite" : "Postgres"; });

// ingest reads results files only, each bounded before it is read, and
// checks the ADC file named when it is there.
TEST(Batch, IngestTakesResultsFilesOnlyAndChecksTheirAdcFile) {
  TempDir dir;
  for (const std::string run : {"a", "b", "c"}) {
    simulate(dir / (run + "/run.txt"), trains(5, static_cast<std::uint64_t>(run[0])));
    ASSERT_EQ(runCalib(dir / run, {"--quiet", "--sha256", "1", "20mV_calib-odd", "run.txt"}).exitStatus, 0);
  }
  fs::remove(dir / "b/run.txt");                    // gone: recorded as unverified
  simulate(dir / "c/run.txt", trains(5, 1000));  // another measurement under its name
  writeFile(dir / "big.json", "");
  fs::resize_file(dir / "big.json", (64 << 20) + 1);  // sparse
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  const std::string results = "/gain_kelta1_20mV_calib-odd.log.json";
  const std::string db = "sqlite:" + (dir / "db.sqlite");
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  // None to take: no database made.
  const RunResult none = runCalib(dir.path(), {"ingest", "--db", db, "big.json", "a"}, options);
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_NE(none.out.find("2 results files: none could be read, nothing recorded\n"), std::string::npos) << none.out;
  EXPECT_FALSE(fs::exists(dir / "db.sqlite"));
  const RunResult r = runCalib(dir.path(), {"ingest", "--db", db, "a" + results, "b" + results, "c" + results,
                                            "big.json", "fifo.json", "/dev/zero", "a"}, options);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  for (const std::string& refused : {
           std::string("cannot ingest 'c") + results + "': its ADC file 'c/run.txt' is not the one analysed (SHA-256 ",
           "cannot ingest 'big.json': 67108865 bytes, larger than a results file can be (64 MiB at most)\n"s,
           "cannot ingest 'fifo.json': not a regular file: a FIFO\n"s,
           "cannot ingest '/dev/zero': not a regular file: a character device\n"s,
           "cannot ingest 'a': not a regular file: a directory\n"s})
    EXPECT_NE(r.err.find(refused), std::string::npos) << refused << "\n" << r.err;
  EXPECT_NE(r.out.find("7 results files: 2 recorded, 0 already recorded\n"), std::string::npos) << r.out;
  // A results file named without a directory, from where it is.
  const RunResult again = runCalib(dir / "a", {"ingest", "--db", db, results.substr(1)}, options);
  EXPECT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_NE(again.out.find("1 results file: 0 recorded, 1 already recorded\n"), std::string::npos) << again.out;
  const RunResult runs = runCalib(dir.path(), {"export", "--db", db}, options);
  EXPECT_NE(runs.out.find(",ingested,"), std::string::npos) << runs.out;
  EXPECT_NE(runs.out.find(",\"ingested, unverified: the ADC file 'run.txt' is not found\","), std::string::npos)
      << runs.out;
}

TEST(Batch, ResultsOutOfPlaceOrRangeAreRefused) {
  TempDir dir;
  simulate(dir / "run.txt", trains(5, 1));
  ASSERT_EQ(runCalib(dir.path(), {"--quiet", "1", "20mV_calib-odd", "run.txt"}).exitStatus, 0);
  const nlohmann::json good = nlohmann::json::parse(readFile(dir / "gain_kelta1_20mV_calib-odd.log.json"));
  ASSERT_TRUE(production::parseResults(good.dump()));
  const Result<std::vector<production::ChannelCurve>> curves = production::parseCurves(good.dump());
  ASSERT_TRUE(curves);
  EXPECT_EQ(curves->size(), 32u);
  const nlohmann::json& point = good["channels"][5]["points"][2];
  EXPECT_EQ(curves->at(5).points.size(), good["channels"][5]["points"].size());
  EXPECT_EQ(curves->at(5).points.at(2), (production::CurvePoint{point["charge"], point["measured"], point["amplitude"],
                                                                point["amplitudeError"], point["windowsAtLimit"],
                                                                point["saturated"], point["inFitRange"]}));
  EXPECT_EQ(curves->at(5).gain, good["channels"][5]["fit"]["gain"].get<double>());
  // A document not quite of the expected shape (points null, which nlohmann iterates as none) is read
  // from its tree, to the same curves.
  nlohmann::json pointsNull = good;
  pointsNull["channels"][0]["points"] = nullptr;
  std::vector<production::ChannelCurve> withoutPoints = *curves;
  withoutPoints[0].points.clear();
  const Result<std::vector<production::ChannelCurve>> fromTree = production::parseCurves(pointsNull.dump());
  ASSERT_TRUE(fromTree);
  EXPECT_EQ(*fromTree, withoutPoints);
  struct Case {
    std::function<void(nlohmann::json&)> change;
    std::string error;
    bool figures = true;  // parseResults refuses it
    bool curves = true;   // parseCurves refuses it alike
  };
  const Case cases[] = {
      {[](nlohmann::json& j) { j["channels"][0]["channel"] = -1; }, "channel -1 where channel 0 belongs"},
      {[](nlohmann::json& j) { j["channels"][31]["channel"] = 32; }, "channel 32 where channel 31 belongs"},
      {[](nlohmann::json& j) { j["channels"][1]["channel"] = 0; }, "channel 0 where channel 1 belongs"},
      {[](nlohmann::json& j) { std::swap(j["channels"][4], j["channels"][5]); }, "channel 5 where channel 4 belongs"},
      {[](nlohmann::json& j) { j["channels"].erase(31); }, "results of 31 channels, not 32"},
      // Numbers that do not fit are refused, not narrowed (to 2, to 0).
      {[](nlohmann::json& j) { j["version"] = 4294967298ull; },
       "malformed results: \"version\" is 4294967298, not an integer from -2147483648 to 2147483647"},
      {[](nlohmann::json& j) { j["version"] = 2.9; },
       "malformed results: \"version\" is 2.9, not an integer from -2147483648 to 2147483647"},
      {[](nlohmann::json& j) { j["channels"][0]["channel"] = 4294967296ull; },
       "malformed results: \"channel\" is 4294967296, not an integer from -2147483648 to 2147483647"},
      {[](nlohmann::json& j) { j["run"]["adcFileBytes"] = -5; },
       "malformed results: \"adcFileBytes\" is -5, not an integer from 0 to 18446744073709551615", true, false},
      {[](nlohmann::json& j) { j["channels"][3]["fit"]["ndf"] = -5; },
       "malformed results: \"ndf\" is -5, not an integer from 0 to 2147483647", true, false},
      {[](nlohmann::json& j) { j["run"]["detector"] = "XYZ"; },
       "results of detector 'XYZ': this program judges TPC and MuCh", true, false},
      {[](nlohmann::json& j) { j["channels"][3]["points"][0]["measured"] = "yes"; },
       "malformed results: [json.exception.type_error.302] type must be boolean, but is string", false, true},
  };
  for (const Case& c : cases) {
    nlohmann::json changed = good;
    c.change(changed);
    if (c.curves) {
      const Result<std::vector<production::ChannelCurve>> curved = production::parseCurves(changed.dump());
      ASSERT_FALSE(curved) << c.error;
      EXPECT_EQ(curved.error().message, c.error);
    }
    if (c.figures) {
      const Result<production::RunResults> parsed = production::parseResults(changed.dump());
      ASSERT_FALSE(parsed) << c.error;
      EXPECT_EQ(parsed.error().message, c.error);
    }
  }
}

TEST(Batch, UsageErrorsAndTheCriteria) {
  TempDir dir;
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  struct Case {
    std::vector<std::string> args;
    int exitStatus;
    std::string err;  // the first line of standard error; "*": not compared
  };
  const std::string version = "calib-batch " + std::string(kCalibVersion) + "\n";
  const Case cases[] = {
      {{"--version"}, 0, ""},
      {{}, 2, "*"},
      {{"run"}, 2, "*"},
      {{"submit", "robot"}, 2, "*"},
      {{"submit", "--slurm"}, 2, "*"},
      {{"submit", "--resume", "b", "robot"}, 2, "*"},
      {{"wait"}, 2, "*"},
      {{"rnu"}, 2, "calib-batch: unknown command 'rnu'; did you mean 'run'?"},
      {{"histroy", "x"}, 2, "calib-batch: unknown command 'histroy'; did you mean 'history'?"},
      {{"chip"}, 2, "calib-batch: unknown command 'chip'; did you mean 'chips'?"},
      {{"hist", "x"}, 2, "calib-batch: unknown command 'hist'; did you mean 'history'?"},
      {{"colect", "b", "1"}, 2, "calib-batch: unknown command 'colect'; did you mean 'collect'?"},
      {{"criteria", "shwo"}, 2, "calib-batch: unknown command 'criteria shwo'; did you mean 'criteria show'?"},
      {{"colct"}, 2,
       "calib-batch: unknown command 'colct'; the commands are init, run, watch, submit, status, wait, ingest, chips, history, "
       "export, report, criteria"},
      {{"chips", "--format", "xml"}, 2, "--format: xml not in {table,csv,json}"},
      {{"chips", "--format", "x\x1b[2J"}, 2, "--format: x\\x1b[2J not in {table,csv,json}"},
      {{"export", "--format", "table"}, 2, "--format: table not in {csv,json}"},
      {{"report", "--since", "yesterday"}, 2, "--since: 'yesterday' is not a date (YYYY-MM-DD)"},
      {{"report", "--since", "2018-02-30"}, 2, "--since: '2018-02-30' is not a date (YYYY-MM-DD)"},
      {{"report", "--since", "2018-13-01"}, 2, "--since: '2018-13-01' is not a date (YYYY-MM-DD)"},
      {{"report", "--since", "9999-99-99"}, 2, "--since: '9999-99-99' is not a date (YYYY-MM-DD)"},
      {{"report", "--out", ""}, 2, "--out: the directory's name is empty"},
      {{"export", "--until", "2018-02-30"}, 2, "--until: '2018-02-30' is not a date (YYYY-MM-DD)"},
      {{"export", "--config", "stand.toml"}, 2,
       "calib-batch: --config 'stand.toml' after the command is the configurations' pattern; give the stand "
       "configuration before the command: calib-batch --config 'stand.toml' …"},
      {{"export", "--since", "2018-07-27", "--until", "20180725"}, 2,
       "calib-batch: --since 2018-07-27 is after --until 20180725: no day is both"},
      {{"chips", "--db", "calib.sqlite"}, 2,
       "--db: database URL 'calib.sqlite' is neither sqlite:PATH nor postgresql://…"},
      {{"criteria", "show", "--db", "sqlite:"}, 2, "--db: no file in database URL 'sqlite:'"},
      {{"run", "--name-pattern", "(?<chip>\\d+)", "robot"}, 2,
       "--name-pattern: name pattern '(?<chip>\\d+)' has no group (?<config>…)"},
      {{"submit", "--slurm", "--sbatch-arg=-Mother", "robot"}, 2,
       "--sbatch-arg: '-Mother' sends the jobs to another cluster; a batch is followed on the cluster it is "
       "submitted from"},
      {{"wait", "--timeout", "nan", "b"}, 2, "--timeout: 'nan' is not a number of seconds"},
      {{"run", "--db", "", "--dry-run", "robot"}, 1, "calib-batch: cannot search 'robot': No such file or directory"},
  };
  for (const Case& c : cases) {
    const RunResult r = runCalib(dir.path(), c.args, options);
    const std::string line = r.err.substr(0, r.err.find('\n'));
    const std::string given = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(r.exitStatus, c.exitStatus) << given << ": " << r.err;
    if (c.err != "*") {
      EXPECT_EQ(line, c.err) << given;
    }
    if (c.exitStatus == 0) {
      EXPECT_EQ(r.out, version);
    }
  }
  // export lists the runs as CSV unless told otherwise.
  fs::create_directory(dir.path() / "robot");
  ASSERT_EQ(runCalib(dir.path(), {"run", "--db", "sqlite:db.sqlite", "robot"}, options).exitStatus, 0);
  const RunResult byDefault = runCalib(dir.path(), {"export", "--db", "sqlite:db.sqlite"}, options);
  EXPECT_EQ(byDefault.exitStatus, 0) << byDefault.err;
  EXPECT_EQ(byDefault.out.substr(0, 15), "run_id,chip,con");
  EXPECT_EQ(
      byDefault.out,
      runCalib(dir.path(), {"export", "--db", "sqlite:db.sqlite", "--what", "runs", "--format", "csv"}, options).out);
  const RunResult none = runCalib(dir.path(), {"chips"}, options);
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_EQ(none.err.substr(0, 47), "calib-batch: no database at 'calib-out/calib.sq");
  const RunResult noBatch = runCalib(dir.path(), {"status", "20261208-120000"}, options);
  EXPECT_EQ(noBatch.exitStatus, 1);
  EXPECT_EQ(noBatch.err, "calib-batch: no batch at 'calib-out/batches/20261208-120000' (--out names the output root "
                         "it was submitted to)\n");
  writeFile(dir / "lab.toml", "name = \"lab\"\nversion = \"1\"\n");
  const RunResult nowhere = runCalib(dir.path(), {"criteria", "set", "--db", "sqlite:nowhere.sqlite", "lab.toml"}, options);
  EXPECT_EQ(nowhere.exitStatus, 1);
  EXPECT_EQ(nowhere.err.substr(0, 40), "calib-batch: no database at 'nowhere.sql") << nowhere.err;
  EXPECT_FALSE(fs::exists(dir / "nowhere.sqlite"));
  const RunResult criteria = runCalib(dir.path(), {"criteria"}, options);
  EXPECT_EQ(criteria.exitStatus, 0);
  EXPECT_NE(criteria.out.find("name = \"default\"\nversion = \"1\"\n"), std::string::npos);
}

// A stand configuration written by init and found from below it, and what
// is refused instead of giving a silently empty batch.
TEST(Batch, AStandConfigurationAndWhatIsRefused) {
  TempDir stand;
  simulate(stand / standPath("800", "20mV_calib-odd"), trains(10, 800));
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  const RunResult init = runCalib(stand.path(), {"init", "--out", "stand-out", "--settle", "0", "robot"}, options);
  ASSERT_EQ(init.exitStatus, 0) << init.err;
  const std::string db = "sqlite:" + (stand / "stand-out/calib.sqlite");
  EXPECT_NE(init.err.find("made a new database " + db), std::string::npos) << init.err;
  EXPECT_EQ(runCalib(stand.path(), {"init"}, options).exitStatus, 1);  // not written over
  fs::create_directories(stand / "notes");
  const RunResult run = runCalib(stand / "notes", {"run"}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.out.find("1 file: 1 analysed (1 pass, 0 fail, 0 error)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("database " + db + ", configuration " + (stand / "calib-batch.toml")), std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "");  // the database was there
  // A report of a subset made without --out goes beside the full report,
  // named after its filter; the full one stays.
  writeFile(stand / "elsewhere.toml", "out = 'stand-out'\nreport = 'kept/full'\n");
  const struct {
    std::vector<std::string> args;
    std::string dir;  // below the stand
  } reports[] = {
      {{"report"}, "stand-out/report"},
      {{"report", "--since", "20180725", "--config", "20mV*"}, "stand-out/report-since-2018-07-25-config-20mV_"},
      {{"report", "--config", "20mV*", "--out", "../stand-out/chosen"}, "stand-out/chosen"},
      {{"--config", "../elsewhere.toml", "report", "--since", "2018-07-25"}, "kept/full-since-2018-07-25"},
  };
  for (const auto& r : reports) {
    const RunResult report = runCalib(stand / "notes", r.args, options);
    EXPECT_EQ(report.exitStatus, 0) << report.err;
    EXPECT_TRUE(report.out.starts_with("report: 1 chip, 1 chip configuration: " + (stand / r.dir) + "/index.html\n"))
        << report.out;
  }
  EXPECT_EQ(readFile(stand / "stand-out/report/index.html").find("measured since"), std::string::npos);
  EXPECT_FALSE(fs::exists(stand / "kept/full"));
  // CALIB_BATCH_CONFIG wins over the file found in a parent directory, and
  // --config over both.
  ::setenv("CALIB_BATCH_CONFIG", (stand / "elsewhere.toml").c_str(), 1);
  const RunResult byVariable = runCalib(stand / "notes", {"report"}, options);
  const RunResult byOption = runCalib(stand / "notes", {"--config", "../calib-batch.toml", "report"}, options);
  ::unsetenv("CALIB_BATCH_CONFIG");
  EXPECT_TRUE(byVariable.out.starts_with("report: 1 chip, 1 chip configuration: " + (stand / "kept/full/index.html")))
      << byVariable.out << byVariable.err;
  EXPECT_TRUE(byOption.out.starts_with("report: 1 chip, 1 chip configuration: " + (stand / "stand-out/report")))
      << byOption.out << byOption.err;
  writeFile(stand / "typo.toml", "setle = 5\n");
  const RunResult typo = runCalib(stand.path(), {"--config", "typo.toml", "chips"}, options);
  EXPECT_EQ(typo.exitStatus, 2);
  EXPECT_NE(typo.err.find("configuration 'typo.toml': unknown key 'setle'"), std::string::npos) << typo.err;

  TempDir bare;
  simulate(bare / standPath("801", "20mV_calib-odd"), trains(10, 801));
  put(bare / "renamed/run-801.txt", "1 2 3\n");
  put(bare / "renamed/run-802.txt", "1 2 3\n");
  struct Refused {
    std::string where;  // below bare
    std::vector<std::string> args;
    std::string message;
  };
  const Refused refused[] = {
      {"", {"--db", "sqlite:/nonexistent/dir/x.sqlite", "robot"}, "there is no directory '/nonexistent/dir'"},
      {"", {"--out", "robot", "robot"}, "the output root 'robot' is the input path 'robot'"},
      {"", {"--out", ".", "robot"}, "the output root '.' contains the input path 'robot'"},
      {"", {"--out", bare / "robot/x", bare / "robot"}, "lies inside the input path '" + (bare / "robot") + "'"},
      {"robot/20180725", {".."}, "the output root 'calib-out' lies inside the input path '..'"},
      {"", {"--db", "sqlite:robot/x.sqlite", "robot"}, "the database 'sqlite:robot/x.sqlite' lies inside"},
      {"", {"renamed"}, "none of the 2 files under 'renamed' is named as the name pattern reads ('renamed/run-801"},
  };
  for (const Refused& r : refused) {
    std::vector<std::string> args = {"run", "--settle", "0"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const RunResult result = runCalib(bare / r.where, args, options);
    EXPECT_EQ(result.exitStatus, 1) << r.message;
    EXPECT_NE(result.err.find(r.message), std::string::npos) << result.err;
  }
  EXPECT_FALSE(fs::exists(bare / "calib-out") || fs::exists(bare / "robot/calib-out") ||
               fs::exists(bare / "robot/20180725/calib-out"));
}

}  // namespace
}  // namespace calib::test
