// calib-batch end to end against databases it cannot simply use: every
// state a database can be in, as each command that opens one tells it;
// a PostgreSQL server that stops answering while a batch records; and a
// database that cannot grow.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "postgres_server.hpp"
#include "production/store/store.hpp"
#include "stand_files.hpp"
#include "test_util.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Runs sql on the database at url, made by calib-batch's schema first when
// asked.
void setUp(const std::string& url, const std::string& sql, bool calibBatchs = false) {
  if (calibBatchs) {
    const Result<std::unique_ptr<production::Store>> made = production::Store::open(url);
    ASSERT_TRUE(made) << made.error().message;
  }
  if (sql.empty()) return;
  const Result<std::unique_ptr<production::Database>> db = production::openDatabase(url);
  ASSERT_TRUE(db) << db.error().message;
  const Result<void> done = (*db)->runScript(sql);
  ASSERT_TRUE(done) << done.error().message;
}

// The runs a database holds, every record counted; 0 when it cannot be read.
std::size_t recordsIn(const std::string& url) {
  const Result<std::unique_ptr<production::Store>> store = production::Store::openExisting(url);
  if (!store) return 0;
  const Result<std::vector<production::RunRow>> runs = (*store)->runs(production::Records::All);
  return runs ? runs->size() : 0;
}

// The numbers of "N analysed … M not recorded" in a batch's summary.
std::pair<int, int> analysedAndNotRecorded(const std::string& out, const std::string& why) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("(\\d+) analysed \\(.*; " + why + ", (\\d+) not recorded\n")))
    return {-1, -1};
  return {std::stoi(m[1]), std::stoi(m[2])};
}

void simulateChips(const TempDir& dir, int n, int first) {
  for (int i = 0; i < n; ++i)
    simulate(dir / standPath(std::to_string(first + i), "20mV_calib-odd", "20180725", std::to_string(120000 + i)),
             trains(5, static_cast<std::uint64_t>(first + i)));
}

// Only a database calib-batch has not made yet (no SQLite file, or no
// tables at all) is empty: a batch plans every file for it and an ingest
// makes it. One that cannot be read (the reason given), another program's
// and one of a newer schema are refused by every command, naming the
// database, before anything is planned, submitted or written.
TEST(BatchDatabase, EachStateOfADatabaseIsToldApart) {
  TempDir dir;
  simulateChips(dir, 2, 900);
  fs::create_directories(dir / "results");
  simulate(dir / "results/902.txt", trains(5, 902));
  ASSERT_EQ(runCalib(dir / "results", {"--quiet", "--sha256", "902", "20mV_calib-odd", "902.txt"}).exitStatus, 0);
  const std::string results = dir / "results/gain_kelta902_20mV_calib-odd.log.json";
  PostgresServer server;
  ASSERT_EQ(server.error(), "");
  const auto sqlite = [&](const std::string& name) { return "sqlite:" + (dir / name); };
  // A URL of the server as another role, made first.
  const auto as = [&](const std::string& url, const std::string& role) {
    setUp(server.url(), "CREATE ROLE " + role + " LOGIN");
    return std::regex_replace(url, std::regex("user=postgres"), "user=" + role);
  };

  struct State {
    std::string what;
    std::function<std::string()> make;  // the database's URL
    bool empty;                         // else refused
    std::string why;                    // what a command that refuses it says; for an empty one, what a listing says
    bool byAnotherUser = false;
  };
  const State states[] = {
      {"no SQLite file", [&] { return sqlite("none.sqlite"); }, true, "no database at '"},
      {"an empty SQLite file",
       [&] {
         writeFile(dir / "empty.sqlite", "");
         return sqlite("empty.sqlite");
       },
       true, " is not a database of calib-batch yet"},
      {"a file that is not SQLite",
       [&] {
         writeFile(dir / "garbage.sqlite", std::string(8192, '\x5a'));
         return sqlite("garbage.sqlite");
       },
       false, ": file is not a database"},
      {"a directory",
       [&] {
         fs::create_directory(dir / "dir.sqlite");
         return sqlite("dir.sqlite");
       },
       false, "(Is a directory)"},
      // Opening a FIFO waits for a writer for ever; a link to nothing (an
      // unmounted share) would get a new database made unseen.
      {"a FIFO",
       [&] {
         ::mkfifo((dir / "fifo.sqlite").c_str(), 0600);
         return sqlite("fifo.sqlite");
       },
       false, ": not a regular file: a FIFO"},
      {"a link to nothing",
       [&] {
         fs::create_symlink(dir / "unmounted/calib.sqlite", dir / "link.sqlite");
         return sqlite("link.sqlite");
       },
       false, "': it is a symbolic link to '"},
      // The lab's shared database, in WAL mode, read by a user who may not
      // write its directory, where SQLite keeps what readers share (-shm).
      {"a WAL database in a directory its reader may not write",
       [&] {
         fs::create_directory(dir / "shared");
         setUp(sqlite("shared/calib.sqlite"), "", true);
         fs::permissions(dir / "shared", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
         return sqlite("shared/calib.sqlite");
       },
       false, "attempt to write a readonly database (the database is in WAL mode", true},
      {"another program's SQLite database",
       [&] {
         setUp(sqlite("other.sqlite"), "CREATE TABLE samples (x INTEGER); CREATE TABLE stands (y TEXT)");
         return sqlite("other.sqlite");
       },
       false, " holds tables that are not calib-batch's (samples, stands)"},
      {"an SQLite database of a newer schema",
       [&] {
         setUp(sqlite("new.sqlite"), "UPDATE calib_schema SET version = 99", true);
         return sqlite("new.sqlite");
       },
       false, ": the database has schema version 99"},
      {"an empty PostgreSQL database", [&] { return server.createDatabase("pgempty"); }, true,
       " is not a database of calib-batch yet"},
      {"no such PostgreSQL database",
       [&] { return std::regex_replace(server.url(), std::regex("/postgres\\?"), "/nosuch?"); }, false,
       "database \"nosuch\" does not exist"},
      {"no PostgreSQL server", [&] { return "postgresql:///calib?host=" + (dir / "nowhere") + "&port=5432"; }, false,
       "failed: No such file or directory"},
      {"a PostgreSQL database its role may not connect to",
       [&] {
         const std::string url = server.createDatabase("pglocked");
         setUp(url, "REVOKE CONNECT ON DATABASE pglocked FROM PUBLIC", true);
         return as(url, "visitor");
       },
       false, "permission denied for database \"pglocked\""},
      {"a PostgreSQL database whose tables its role may not read",
       [&] {
         const std::string url = server.createDatabase("pgprivate");
         setUp(url, "", true);
         return as(url, "reader");
       },
       false, "permission denied for table calib_schema"},
      {"another program's PostgreSQL database",
       [&] {
         const std::string url = server.createDatabase("pgother");
         setUp(url, "CREATE TABLE samples (x INTEGER)");
         return url;
       },
       false, " holds tables that are not calib-batch's (samples)"},
      {"a PostgreSQL database of a newer schema",
       [&] {
         const std::string url = server.createDatabase("pgnew");
         setUp(url, "UPDATE calib_schema SET version = 99", true);
         return url;
       },
       false, ": the database has schema version 99"},
  };

  for (const State& state : states) {
    SCOPED_TRACE(state.what);
    const std::string url = state.make();
    const std::string name = url.starts_with("sqlite:") && state.empty ? url.substr(7) : url;
    const auto batch = [&](std::vector<std::string> args) {
      RunOptions options;
      options.program = CALIB_BATCH_EXE;
      if (state.byAnotherUser && ::getuid() == 0) {
        args.insert(args.begin(), {"-u", "nobody", "--", CALIB_BATCH_EXE});
        options.program = "/usr/sbin/runuser";
      }
      return runCalib(dir.path(), args, options);
    };
    const auto refused = [&](const RunResult& r, const std::string& command) {
      EXPECT_EQ(r.exitStatus, 1) << command << ": " << r.out << r.err;
      EXPECT_NE(r.err.find(state.why), std::string::npos) << command << ": " << r.err;
      EXPECT_NE(r.err.find(name), std::string::npos) << command << ": " << r.err;
    };

    const RunResult dry = batch({"run", "--dry-run", "--settle", "0", "--db", url, "robot"});
    const RunResult chips = batch({"chips", "--db", url});
    // An empty database: every file to analyse, and nothing to list.
    refused(chips, "chips");
    if (state.empty) {
      EXPECT_EQ(dry.exitStatus, 0) << dry.err;
      EXPECT_NE(dry.out.find("dry run: 2 files: 2 to analyse, 0 already recorded"), std::string::npos) << dry.out;
      const RunResult ingest = batch({"ingest", "--db", url, results});
      EXPECT_EQ(ingest.exitStatus, 0) << ingest.err;
      EXPECT_NE(ingest.out.find("1 results file: 1 recorded"), std::string::npos) << ingest.out;
      continue;
    }
    refused(dry, "run --dry-run");
    EXPECT_EQ(dry.out, "");
    refused(batch({"submit", "--slurm", "--settle", "0", "--out", dir / "submitted", "--db", url, "robot"}), "submit");
    EXPECT_FALSE(fs::exists(dir / "submitted"));
    refused(batch({"ingest", "--db", url, results}), "ingest");
  }
  // What was refused is as it was.
  EXPECT_EQ(readFile(dir / "garbage.sqlite"), std::string(8192, '\x5a'));
  EXPECT_EQ(recordsIn(sqlite("shared/calib.sqlite")), 0u);
}

// A PostgreSQL server that stops answering (frozen, as a server whose
// machine hangs) while a batch records: SIGTERM still ends the batch within
// seconds, which says how many runs it did not record, and the runs it
// recorded stay, each whole; the next batch records the rest, each once. A
// statement waits for such a server no longer than its limit, and a
// connection no longer than connect_timeout.
TEST(BatchDatabase, AFrozenServerNeverHoldsABatch) {
  PostgresServer server;
  ASSERT_EQ(server.error(), "");
  TempDir dir;
  constexpr int kFiles = 8;
  simulateChips(dir, kFiles, 950);
  // calib, slowed down: the batch records for a few seconds.
  writeFile(dir / "calib-slow.sh",
            "#!/bin/sh\n[ \"$1\" = --version ] || sleep 0.3\nexec " + std::string(CALIB_EXE) + " \"$@\"\n");
  fs::permissions(dir / "calib-slow.sh", fs::perms::owner_all);
  const std::string db = server.createDatabase("frozen");
  RunOptions options;
  options.program = CALIB_BATCH_EXE;

  int analysed = -1;
  {
    CalibProcess batch(dir.path(),
                       {"run", "--settle", "0", "--jobs", "1", "--db", db, "--calib", dir / "calib-slow.sh", "robot"},
                       options);
    for (const auto end = Clock::now() + std::chrono::seconds(60);
         recordsIn(db) < 2 && !batch.finished() && Clock::now() < end;)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.freeze(true);
    // Long enough for the batch to be waiting for the server with its next
    // record.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ::kill(batch.pid(), SIGTERM);
    const Clock::time_point stopped = Clock::now();
    while (!batch.finished() && Clock::now() - stopped < std::chrono::seconds(10))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(batch.finished()) << "still running 10 s after SIGTERM";
    if (!batch.finished()) ::kill(batch.pid(), SIGKILL);
    const RunResult r = batch.wait();
    server.freeze(false);
    EXPECT_EQ(r.termSignal, SIGTERM) << r.out << r.err;
    int notRecorded = 0;
    std::tie(analysed, notRecorded) = analysedAndNotRecorded(r.out, "interrupted");
    EXPECT_GE(analysed, 2) << r.out;
    EXPECT_GE(notRecorded, 1) << r.out;
    EXPECT_EQ(analysed + notRecorded, kFiles) << r.out;
  }
  // The transaction the server was frozen in is rolled back, unless what
  // it waited for was the answer to its COMMIT.
  const std::size_t kept = recordsIn(db);
  EXPECT_TRUE(kept == static_cast<std::size_t>(analysed) || kept == static_cast<std::size_t>(analysed) + 1) << kept;
  const RunResult rest = runCalib(dir.path(), {"run", "--settle", "0", "--db", db, "robot"}, options);
  EXPECT_EQ(rest.exitStatus, 0) << rest.err;
  EXPECT_NE(rest.out.find(std::to_string(kFiles - kept) + " analysed (" + std::to_string(kFiles - kept) +
                          " pass, 0 fail, 0 error), " + std::to_string(kept) + " already recorded"),
            std::string::npos)
      << rest.out;
  EXPECT_EQ(recordsIn(db), static_cast<std::size_t>(kFiles));

  const Result<std::unique_ptr<production::Database>> open =
      production::openDatabase(db, production::Access::Write, production::WaitLimits{nullptr, 1});
  ASSERT_TRUE(open) << open.error().message;
  server.freeze(true);
  Clock::time_point start = Clock::now();
  const Result<std::vector<production::Row>> rows = (*open)->run("SELECT count(*)\n  FROM run");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ASSERT_FALSE(rows);
  EXPECT_EQ(rows.error().message, db + ": no answer from the server in 1 s to 'SELECT count(*) FROM run'; the "
                                       "statement was abandoned and the connection closed");
  start = Clock::now();
  const RunResult connecting =
      runCalib(dir.path(), {"run", "--settle", "0", "--db", db + "&connect_timeout=2", "robot"}, options);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
  server.freeze(false);
  EXPECT_EQ(connecting.exitStatus, 1);
  EXPECT_EQ(connecting.err, "calib-batch: cannot connect to database '" + db +
                                "&connect_timeout=2': no answer from the server in 2 s\n");
}

// A database that cannot grow (a file-size limit here, a full disk at a
// stand): the batch stops at the run it cannot record, says why and how
// many runs it did not record, and the limit's signal (SIGXFSZ) does not
// end it; the next batch records the rest.
TEST(BatchDatabase, ARunThatCannotBeRecordedStopsTheBatchAndIsCounted) {
  TempDir dir;
  constexpr int kFiles = 8;
  simulateChips(dir, kFiles, 980);
  const std::string db = "sqlite:" + (dir / "calib.sqlite");
  RunOptions options;
  options.program = "/bin/sh";
  // 400 blocks of 512 bytes: more than any file calib writes, less than the
  // database of eight runs.
  const RunResult limited = runCalib(
      dir.path(),
      {"-c", "ulimit -f 400 && exec \"$0\" \"$@\"", CALIB_BATCH_EXE, "run", "--settle", "0", "--db", db, "robot"},
      options);
  EXPECT_EQ(limited.termSignal, 0);
  EXPECT_EQ(limited.exitStatus, 1) << limited.out << limited.err;
  EXPECT_NE(limited.err.find(": disk I/O error (File too large)\n"), std::string::npos) << limited.err;
  const auto [analysed, notRecorded] = analysedAndNotRecorded(limited.out, "recording failed");
  EXPECT_GE(notRecorded, 1) << limited.out;
  EXPECT_EQ(analysed + notRecorded, kFiles) << limited.out;

  options.program = CALIB_BATCH_EXE;
  const RunResult rest = runCalib(dir.path(), {"run", "--settle", "0", "--db", db, "robot"}, options);
  EXPECT_EQ(rest.exitStatus, 0) << rest.err;
  EXPECT_NE(rest.out.find(std::to_string(notRecorded) + " analysed (" + std::to_string(notRecorded) +
                          " pass, 0 fail, 0 error), " + std::to_string(analysed) + " already recorded"),
            std::string::npos)
      << rest.out;
}

}  // namespace
}  // namespace calib::test
