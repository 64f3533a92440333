// calib-batch on a real one-node Slurm cluster the test starts: a batch
// submitted as a job array records exactly what a local run of the same
// files does, faults included, with shell characters in every path; a task
// killed half-way leaves its files recorded as errors, and a resubmission
// of just those completes the batch.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "postgres_server.hpp"
#include "slurm_cluster.hpp"
#include "stand_files.hpp"
#include "test_util.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cluster_.error(), ""); }

  // calib-batch in the test's directory; batches take the stand's files as
  // complete (the tests of watch wait for them to settle).
  RunResult batch(std::vector<std::string> args) {
    RunOptions options;
    options.program = CALIB_BATCH_EXE;
    if (!args.empty() && (args[0] == "run" || args[0] == "submit")) args.insert(args.begin() + 1, {"--settle", "0"});
    return runCalib(dir_.path(), args, options);
  }
  // A calib that runs the real one but for chip, where it does what
  // `instead` says.
  std::string calibExcept(const std::string& chip, const std::string& instead) {
    const std::string path = dir_ / ("calib-" + chip + ".sh");
    writeFile(path, "#!/bin/sh\nfor a in \"$@\"; do if [ \"$a\" = " + chip + " ]; then " + instead +
                        "; fi; done\nexec " + CALIB_EXE + " \"$@\"\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  // The runs of a database as CSV, less when they were recorded and with
  // the output root replaced.
  std::string runsOf(const std::string& url, const std::string& outRoot) {
    const RunResult r = batch({"export", "--db", url, "--what", "runs", "--format", "csv"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    static const std::regex recordedAt(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ,)");
    std::string text = std::regex_replace(r.out, recordedAt, "Z,");
    for (std::size_t at; (at = text.find(outRoot)) != std::string::npos;) text.replace(at, outRoot.size(), "OUT");
    return text;
  }

  SlurmCluster cluster_;
  TempDir dir_;
};

TEST_F(ClusterTest, ABatchOnTheClusterRecordsWhatALocalRunDoes) {
  const std::string tree = "stand \"A\" 'b' $HOME %x";
  const auto file = [&](const std::string& chip) { return dir_ / (tree + "/" + standPath(chip, "20mV_calib-odd")); };
  for (int i = 0; i < 3; ++i) simulate(file(std::to_string(100000 + i)), trains(10, 1 + i));
  sim::SimOptions dead = trains(10, 4);
  dead.dead = {3};
  simulate(file("100003"), dead);
  put(file("100004"), "");
  put(file("100005"), std::string(5000, '\x7f'));
  simulate(file("100006"), trains(10, 7));
  put(dir_ / (tree + "/robot/notes.txt"), "stand log\n");
  const std::string calib = calibExcept("100006", "echo 'calib: out of memory' >&2; exit 3");

  const std::string out1 = dir_ / "out1 $y %z";
  const RunResult refused = batch({"submit", "--slurm", "--out", dir_ / "out\\1", "--calib", calib, tree});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.err.find("has a backslash, which Slurm drops"), std::string::npos) << refused.err;
  const RunResult submitted =
      batch({"submit", "--slurm", "--out", out1, "--files-per-task", "3", "--calib", calib, tree});
  ASSERT_EQ(submitted.exitStatus, 0) << submitted.err;
  const std::string name = submitted.out.substr(0, submitted.out.find('\n'));
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{8}-\d{6}(-\d+)?)"))) << submitted.out;
  EXPECT_NE(submitted.out.find("8 files: 7 to analyse in 3 tasks, 0 already recorded, 1 skipped"), std::string::npos)
      << submitted.out;

  const RunResult waited = batch({"wait", "--out", out1, "--timeout", "300", name});
  EXPECT_EQ(waited.exitStatus, 1) << waited.out << waited.err;  // the error verdicts
  EXPECT_NE(waited.out.find("files: 7: 6 analysed, 1 calib failed, 0 not reported"), std::string::npos) << waited.out;
  EXPECT_NE(waited.out.find("recorded: 3 pass, 1 fail, 3 error, 0 recorded already, 0 not recorded"), std::string::npos)
      << waited.out;
  const RunResult status = batch({"status", "--out", out1, name});
  EXPECT_EQ(status.exitStatus, 0) << status.err;
  EXPECT_NE(status.out.find("3 tasks: 0 pending, 0 running, 3 done, 0 failed; collect job "), std::string::npos)
      << status.out;

  const std::string out2 = dir_ / "out2 $y %z";
  const RunResult local = batch({"run", "--out", out2, "--calib", calib, tree});
  EXPECT_EQ(local.exitStatus, 1) << local.err;
  const std::string onCluster = runsOf("sqlite:" + out1 + "/calib.sqlite", out1);
  EXPECT_EQ(onCluster, runsOf("sqlite:" + out2 + "/calib.sqlite", out2));
  EXPECT_NE(onCluster.find("calib exit status 3: calib: out of memory"), std::string::npos) << onCluster;
}

TEST_F(ClusterTest, AKilledTaskIsRecordedAsAnErrorAndItsFilesSubmittedAgain) {
  PostgresServer server;
  ASSERT_EQ(server.error(), "");
  const std::string db = server.createDatabase("cluster");
  for (int i = 0; i < 6; ++i)
    simulate(dir_ / standPath(std::to_string(200000 + i), "20mV_calib-odd", "20180725", std::to_string(120000 + i)),
             trains(10, 10 + i));
  // On chip 200003, the first time, its task is killed.
  const std::string calib =
      calibExcept("200003", "mkdir '" + (dir_ / "killed") + "' 2>/dev/null && { kill -9 $PPID; exit 1; }");

  const RunResult submitted = batch(
      {"submit", "--slurm", "--db", db, "--files-per-task", "2", "--max-parallel", "2", "--calib", calib, "robot"});
  ASSERT_EQ(submitted.exitStatus, 0) << submitted.err;
  const std::string name = submitted.out.substr(0, submitted.out.find('\n'));
  const RunResult waited = batch({"wait", "--timeout", "300", name});
  EXPECT_EQ(waited.exitStatus, 1) << waited.out << waited.err;
  EXPECT_NE(waited.out.find("files: 6: 5 analysed, 0 calib failed, 1 not reported"), std::string::npos) << waited.out;
  EXPECT_NE(waited.out.find("3 tasks: 0 pending, 0 running, 2 done, 1 failed"), std::string::npos) << waited.out;
  EXPECT_NE(waited.out.find("'calib-batch submit --resume " + name + "'"), std::string::npos) << waited.out;
  const RunResult failed = batch({"chips", "--db", db, "--failed", "--format", "csv"});
  EXPECT_NE(failed.out.find("ended without reporting it"), std::string::npos) << failed.out;

  // Resumed from elsewhere, the batch named by its directory.
  fs::create_directories(dir_ / "elsewhere");
  RunOptions options;
  options.program = CALIB_BATCH_EXE;
  const RunResult resumed =
      runCalib(dir_ / "elsewhere", {"submit", "--resume", dir_ / ("calib-out/batches/" + name)}, options);
  ASSERT_EQ(resumed.exitStatus, 0) << resumed.err;
  EXPECT_EQ(resumed.out.substr(0, resumed.out.find('\n')), name);
  EXPECT_NE(resumed.out.find("6 files in the batch: 1 submitted again"), std::string::npos) << resumed.out;
  const RunResult completed = batch({"wait", "--timeout", "300", name});
  EXPECT_EQ(completed.exitStatus, 0) << completed.out << completed.err;
  EXPECT_NE(completed.out.find("recorded: 6 pass, 0 fail, 0 error, 0 recorded already, 0 not recorded"),
            std::string::npos)
      << completed.out;
  // The retry superseded the record of the killed task: one measurement,
  // two attempts; both records kept.
  const RunResult history = batch({"history", "--db", db, "200003"});
  EXPECT_NE(history.out.find("chip 200003: 1 run"), std::string::npos) << history.out;
  EXPECT_NE(history.out.find("2 attempts"), std::string::npos) << history.out;
  EXPECT_NE(batch({"history", "--all", "--db", db, "200003"}).out.find("chip 200003: 2 runs"), std::string::npos);
  const RunResult again = batch({"submit", "--resume", name});
  EXPECT_NE(again.out.find("nothing to submit again"), std::string::npos) << again.out;
}

}  // namespace
}  // namespace calib::test
