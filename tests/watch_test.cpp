// calib-batch watch end to end, on SQLite and on a PostgreSQL server the
// test starts: a simulated stand writes files in chunks with pauses, cuts
// one and completes it later, renames one into place, marks one complete,
// deletes one and rewrites another while calib analyses them, and the
// watch is stopped and started again in the middle and stopped by SIGTERM
// while calib runs. In the end the database holds what a batch over the
// final tree records, one calibration per measurement, and no partial file
// was ever recorded as a calibration.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>

#include "postgres_server.hpp"
#include "stand_files.hpp"
#include "support/out_buffer.hpp"
#include "test_util.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

enum class Backend { Sqlite, Postgres };

// Waits until done() or seconds pass; whether done() came.
bool waitUntil(const std::function<bool()>& done, double seconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// The JSON lines of a watch's standard output.
std::vector<json> verdicts(const std::string& out) {
  std::vector<json> lines;
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t end = out.find('\n', at);
    if (end == std::string::npos) break;
    lines.push_back(json::parse(out.substr(at, end - at)));
    at = end + 1;
  }
  return lines;
}

std::string simulated(int seed) {
  std::string text;
  OutBuffer out(stringSink(text));
  sim::writeRun(trains(10, static_cast<std::uint64_t>(seed)), out);
  out.flush();
  return text;
}

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

class WatchTest : public ::testing::TestWithParam<Backend> {
 protected:
  std::string database(const std::string& name) {
    if (GetParam() == Backend::Sqlite) return "sqlite:" + (dir_ / (name + ".sqlite"));
    if (!server_) server_ = std::make_unique<PostgresServer>();
    EXPECT_EQ(server_->error(), "");
    return server_->createDatabase(name);
  }
  std::unique_ptr<CalibProcess> watch(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"watch", "--db",    db_,     "--out",  dir_ / "out", "--settle",
                                     "1",     "--rescan", "2",     "--jobs", "2",          "--ready-suffix",
                                     ".done"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("robot");
    RunOptions options;
    options.program = CALIB_BATCH_EXE;
    return std::make_unique<CalibProcess>(dir_.path(), args, options);
  }
  // The current records as (chip, configuration, verdict, reasons, content).
  std::set<std::tuple<std::string, std::string, std::string, std::string, std::string>> current(const std::string& db) {
    RunOptions options;
    options.program = CALIB_BATCH_EXE;
    const RunResult r = runCalib(dir_.path(), {"export", "--db", db, "--format", "json"}, options);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::set<std::tuple<std::string, std::string, std::string, std::string, std::string>> records;
    for (const json& run : json::parse(r.out))
      records.emplace(run["chip"], run["config"], run["verdict"], run["reason_codes"], run["input_sha256"]);
    return records;
  }
  std::string path(const std::string& chip) { return dir_ / standPath(chip, "20mV_calib-odd"); }

  TempDir dir_;
  std::unique_ptr<PostgresServer> server_;
  std::string db_;
};

TEST_P(WatchTest, AStandsDayEndsAsABatchOverTheFinalTree) {
  db_ = database("watched");
  simulate(path("600"), trains(10, 600));
  simulate(path("601"), trains(10, 601));
  // calib, slow on chips 607 to 609, saying when it starts on them.
  writeFile(dir_ / "calib-slow.sh", "#!/bin/sh\nfor a in \"$@\"; do case \"$a\" in 607|608|609) touch " +
                                        (dir_ / "started-") + "$a; sleep 3;; esac; done\nexec " + CALIB_EXE +
                                        " \"$@\"\n");
  fs::permissions(dir_ / "calib-slow.sh", fs::perms::owner_all);
  const auto lineFor = [](CalibProcess& w, const std::string& chip, const std::string& verdict) {
    return waitUntil([&] {
      for (const json& v : verdicts(w.outputSoFar()))
        if (v["chip"] == chip && v["verdict"] == verdict) return true;
      return false;
    });
  };

  std::unique_ptr<CalibProcess> first = watch({});
  // What was there before: caught up with.
  EXPECT_TRUE(lineFor(*first, "600", "pass") && lineFor(*first, "601", "pass"));
  // Written in chunks, with pauses shorter than the settle time.
  const std::string chunked = simulated(602);
  fs::create_directories(fs::path(path("602")).parent_path());
  for (std::size_t at = 0; at < chunked.size(); at += chunked.size() / 3 + 1) {
    append(path("602"), chunked.substr(at, chunked.size() / 3 + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(lineFor(*first, "602", "pass"));
  // Cut in the middle of a line for longer than the settle time: an error,
  // never a calibration; complete later, it supersedes the cut one.
  const std::string cut = simulated(603);
  const std::size_t half = cut.find('\n', cut.size() / 2) - 5;
  fs::create_directories(fs::path(path("603")).parent_path());
  append(path("603"), cut.substr(0, half));
  EXPECT_TRUE(lineFor(*first, "603", "error"));
  append(path("603"), cut.substr(half));
  EXPECT_TRUE(lineFor(*first, "603", "pass"));
  // Cut at the end of a line: nothing tells, and it is recorded; complete
  // later, it supersedes that record too.
  const std::string lines = simulated(613);
  const std::size_t part = lines.find('\n', lines.size() / 2) + 1;
  fs::create_directories(fs::path(path("613")).parent_path());
  append(path("613"), lines.substr(0, part));
  EXPECT_TRUE(lineFor(*first, "613", "pass"));
  append(path("613"), lines.substr(part));
  EXPECT_TRUE(waitUntil([&] {
    const std::string out = first->outputSoFar();
    return out.find("\"chip\":\"613\"") != out.rfind("\"chip\":\"613\"");
  }));
  // Renamed into place, and marked complete.
  fs::create_directories(fs::path(path("604")).parent_path());
  writeFile(path("604") + ".part", simulated(604));
  fs::rename(path("604") + ".part", path("604"));
  fs::create_directories(fs::path(path("605")).parent_path());
  writeFile(path("605"), simulated(605));
  writeFile(path("605") + ".done", "");
  EXPECT_TRUE(lineFor(*first, "604", "pass") && lineFor(*first, "605", "pass"));
  ::kill(first->pid(), SIGTERM);
  const RunResult stopped = first->wait();
  EXPECT_EQ(stopped.exitStatus, 0) << stopped.err;
  EXPECT_NE(stopped.err.find("watch stopped: 9 recorded (8 pass, 0 fail, 1 error)"), std::string::npos) << stopped.err;
  for (const json& v : verdicts(stopped.out))
    if (v["verdict"] == "error") {
      EXPECT_EQ(v["reasons"], json::array({"input_incomplete"})) << v;
    }

  // Written while no watch ran.
  simulate(path("606"), trains(10, 606));
  std::unique_ptr<CalibProcess> second = watch({"--calib", dir_ / "calib-slow.sh", "--grace", "30"});
  EXPECT_TRUE(lineFor(*second, "606", "pass"));
  // Deleted while calib analyses it: not recorded.
  simulate(path("607"), trains(10, 607));
  EXPECT_TRUE(waitUntil([&] { return fs::exists(dir_ / "started-607"); }));
  fs::remove(path("607"));
  // Rewritten while calib analyses it: recorded as it is now.
  simulate(path("608"), trains(10, 608));
  EXPECT_TRUE(waitUntil([&] { return fs::exists(dir_ / "started-608"); }));
  writeFile(path("608"), simulated(1608));
  EXPECT_TRUE(waitUntil([&] {
    return second->outputSoFar().find("\"chip\":\"608\"") != std::string::npos;
  }));
  // Stopped while calib analyses a file: it finishes, and is recorded.
  simulate(path("609"), trains(10, 609));
  EXPECT_TRUE(waitUntil([&] { return fs::exists(dir_ / "started-609"); }));
  ::kill(second->pid(), SIGTERM);
  const RunResult last = second->wait();
  EXPECT_EQ(last.exitStatus, 0) << last.err;
  EXPECT_NE(last.out.find("\"chip\":\"609\""), std::string::npos) << last.out << last.err;
  EXPECT_EQ(last.out.find("\"chip\":\"607\""), std::string::npos) << last.out;
  EXPECT_NE(last.err.find("'" + standPath("607", "20mV_calib-odd") + "' was removed while calib analysed it"),
            std::string::npos)
      << last.err;
  EXPECT_EQ(std::count(last.out.begin(), last.out.end(), '\n'), 3) << last.out;  // 606, 608, 609

  // The same as a batch over the final tree.
  const std::string batchDb = database("batch");
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  const RunResult batch =
      runCalib(dir_.path(), {"run", "--settle", "0", "--db", batchDb, "--out", dir_ / "out2", "robot"}, options);
  EXPECT_EQ(batch.exitStatus, 0) << batch.out << batch.err;
  EXPECT_EQ(current(db_), current(batchDb));
  EXPECT_EQ(current(db_).size(), 10u);
  for (const char* chip : {"603", "613"}) {
    const RunResult history = runCalib(dir_.path(), {"history", "--db", db_, chip}, options);
    EXPECT_NE(history.out.find("chip " + std::string(chip) + ": 1 run\n"), std::string::npos) << history.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, WatchTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "Sqlite" : "Postgres"; });

// One watch per output root: the second says who holds it. A tree whose
// names the pattern reads none of is refused at start.
TEST(Watch, OneWatchPerOutputRootAndNoSilentlyEmptyTree) {
  TempDir dir;
  simulate(dir / standPath("700", "20mV_calib-odd"), trains(10, 700));
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  CalibProcess first(dir.path(), {"watch", "--settle", "0", "robot"}, options);
  ASSERT_TRUE(waitUntil([&] { return first.outputSoFar().find("\"chip\":\"700\"") != std::string::npos; }));
  const RunResult second = runCalib(dir.path(), {"watch", "robot"}, options);
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_NE(second.err.find("another watch works on the output root '" + (dir / "calib-out") + "' (process " +
                            std::to_string(first.pid()) + " on "),
            std::string::npos)
      << second.err;
  ::kill(first.pid(), SIGINT);
  EXPECT_EQ(first.wait().exitStatus, 0);

  put(dir / "renamed/run-700.txt", "1 2 3\n");
  put(dir / "renamed/run-701.txt", "1 2 3\n");
  const RunResult renamed = runCalib(dir.path(), {"watch", "--out", dir / "out2", "renamed"}, options);
  EXPECT_EQ(renamed.exitStatus, 1);
  EXPECT_NE(renamed.err.find("none of the 2 files under 'renamed' is named as the name pattern reads ('renamed/"),
            std::string::npos)
      << renamed.err;
}

// Rescans alone (--poll) find the files; a program is told each verdict
// (the JSON line on its standard input, the fields in its environment) and
// its failure stops nothing; the report is kept; SIGHUP reads the
// configuration again.
TEST(Watch, PollsTellsAProgramKeepsTheReportAndReadsItsConfigurationAgain) {
  TempDir dir;
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  writeFile(dir / "told.sh", "#!/bin/sh\n{ cat; echo \"$CALIB_CHIP $CALIB_VERDICT $CALIB_RUN_ID\"; } >> " +
                                 (dir / "told.log") + "\necho noise\nexit 3\n");
  fs::permissions(dir / "told.sh", fs::perms::owner_all);
  fs::create_directories(dir / "robot");
  writeFile(dir / "calib-batch.toml", "settle = 0\nrescan = 0.2\non_verdict = \"told.sh\"\nreport = \"site\"\n"
                                      "report_every = 0\npaths = [\"robot\"]\n");
  CalibProcess watch(dir.path(), {"watch", "--poll"}, options);
  simulate(dir / standPath("710", "20mV_calib-odd"), trains(10, 710));
  ASSERT_TRUE(waitUntil([&] { return fs::exists(dir / "told.log") && readFile(dir / "told.log").find("710 pass 1") != std::string::npos; }))
      << watch.errorSoFar() << watch.outputSoFar() << readFile(dir / "told.log");
  writeFile(dir / "calib-batch.toml", "settle = 3600\nrescan = 0.2\nreport = \"site\"\npaths = [\"robot\"]\n");
  ::kill(watch.pid(), SIGHUP);
  ASSERT_TRUE(waitUntil([&] { return watch.errorSoFar().find("settle 3600 s") != std::string::npos; }));
  // A report the signal interrupted is made again after the reload.
  EXPECT_TRUE(waitUntil([&] { return fs::exists(dir / "site/index.html"); })) << watch.errorSoFar();
  simulate(dir / standPath("711", "20mV_calib-odd"), trains(10, 711));  // an hour old: taken at once
  put(dir / "robot/fresh/101010_kelta712_dunor00_link00_20mV_calib-odd_adc.txt", "");
  fs::last_write_time(dir / "robot/fresh/101010_kelta712_dunor00_link00_20mV_calib-odd_adc.txt",
                      fs::file_time_type::clock::now());  // written now: waits an hour
  ASSERT_TRUE(waitUntil([&] { return watch.outputSoFar().find("\"chip\":\"711\"") != std::string::npos; }))
      << watch.errorSoFar();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(watch.pid(), SIGTERM);
  const RunResult r = watch.wait();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const std::vector<json> lines = verdicts(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;  // no "noise" among them, and nothing of chip 712
  const std::string told = readFile(dir / "told.log");
  EXPECT_EQ(told.find(r.out.substr(0, r.out.find('\n') + 1)), 0u) << told;  // the line itself on its standard input
  // The program was taken out of the configuration: not told of 711 (whose
  // digits a temporary directory's random name may hold).
  EXPECT_EQ(told.find("\"chip\":\"711\""), std::string::npos) << told;
  EXPECT_EQ(told.find("711 pass"), std::string::npos) << told;
  EXPECT_NE(r.err.find("--on-verdict '" + (dir / "told.sh") + "' for run 1 (chip 710, 20mV_calib-odd): exit status 3"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("noise"), std::string::npos);
  EXPECT_NE(r.err.find("read the configuration again: database sqlite:calib-out/calib.sqlite"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("settle 3600 s"), std::string::npos) << r.err;
  EXPECT_NE(readFile(dir / "site/index.html").find("chips/711.html"), std::string::npos);  // the last report, at the stop
}

}  // namespace
}  // namespace calib::test
