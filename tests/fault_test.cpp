// Faults during a run, end to end: outputs that cannot be written (a
// file-size limit on the program), a run ended by a signal halfway through
// its input or while it waits for input that never comes, and a run of
// millions of lines. Whatever happens, an earlier complete output is never
// replaced by a partial one and no temporary file is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <thread>

#include "adc_text.hpp"
#include "support/output_file.hpp"
#include "support/signal_cleanup.hpp"
#include "test_util.hpp"
#include "tools/sim/run_writer.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;

const std::string kChip = "100000";
const std::string kConfig = "20mV_calib-odd";
const std::string kLog = "gain_kelta100000_20mV_calib-odd.log";
const std::string kBinInfo = kLog + ".bininfo";
const std::string kResults = kLog + ".json";
const std::string kPlots = "png/calib/100000/20mV_calib-odd";

// Every file below dir with its contents, by relative path; directories
// map to "<dir>".
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).string();
    files[name] = entry.is_directory() ? "<dir>" : entry.is_regular_file() ? readFile(entry.path()) : "<other>";
  }
  return files;
}

std::vector<std::string> plotNames() {
  std::vector<std::string> names;
  for (int c = 0; c < 32; ++c) names.push_back("amp_sig_chip_100000_chan_" + std::string(c < 10 ? "0" : "") +
                                               std::to_string(c) + ".png");
  names.push_back("amp_sig_chip_100000_fitpar0.png");
  names.push_back("amp_sig_chip_100000_fitpar1.png");
  return names;
}

std::string smallRun() {
  return zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(2);
}

// A directory holding the ADC file and the complete outputs of an earlier
// run (whose contents only need to differ from a new run's).
void writeEarlierOutputs(const TempDir& dir) {
  writeFile(dir / kLog, "Channel #  Calib (mV/fC)\n 0        99.99 +/- 0.01\n");
  writeFile(dir / kBinInfo, "NZeros:\nearlier statistics\n");
  writeFile(dir / kResults, "{\"earlier\": true}\n");
  fs::create_directories(dir.path() / kPlots);
  for (const std::string& name : plotNames()) writeFile(dir / (kPlots + "/" + name), "earlier plot " + name);
}

TEST(WriteFaults, OutputsThatCannotBeWrittenLeaveTheEarlierOnes) {
  // A run without limits gives the sizes: gain log < bin-information file <
  // the smallest plot <= the largest plot < the JSON results, so four
  // limits make first the results fail, then the plots too, then the
  // bin-information file, then every output.
  TempDir reference;
  writeFile(reference / "adc.txt", smallRun());
  const RunResult full = runCalib(reference.path(), {kChip, kConfig, "./adc.txt"});
  ASSERT_EQ(full.exitStatus, 0) << full.err;
  const std::uintmax_t logSize = fs::file_size(reference.path() / kLog);
  const std::uintmax_t binInfoSize = fs::file_size(reference.path() / kBinInfo);
  const std::uintmax_t resultsSize = fs::file_size(reference.path() / kResults);
  std::uintmax_t smallestPlot = UINTMAX_MAX, largestPlot = 0;
  for (const std::string& name : plotNames()) {
    const std::uintmax_t size = fs::file_size(reference.path() / (kPlots + "/" + name));
    smallestPlot = std::min(smallestPlot, size);
    largestPlot = std::max(largestPlot, size);
  }
  ASSERT_LT(logSize, binInfoSize);
  ASSERT_LT(binInfoSize, smallestPlot);
  ASSERT_LT(largestPlot, resultsSize);

  std::string plotErrors;
  for (const std::string& name : plotNames())
    plotErrors += "calib: cannot write plot '" + kPlots + "/" + name + "': File too large\n";
  const std::string logError = "calib: cannot write gain log './" + kLog + "': File too large\n";
  const std::string binInfoError = "calib: cannot write bin-information file './" + kBinInfo + "': File too large\n";
  const std::string resultsError = "calib: cannot write results file './" + kResults + "': File too large\n";

  struct Case {
    std::uintmax_t limit;
    std::string err;
    bool plotsWritten;
  };
  for (const Case& c : {Case{(largestPlot + resultsSize) / 2, resultsError, true},
                        Case{(binInfoSize + smallestPlot) / 2, plotErrors + resultsError, false},
                        Case{(logSize + binInfoSize) / 2, plotErrors + binInfoError + resultsError, false},
                        Case{logSize / 2, plotErrors + logError + binInfoError + resultsError, false}}) {
    SCOPED_TRACE("file-size limit " + std::to_string(c.limit));
    TempDir dir;
    writeFile(dir / "adc.txt", smallRun());
    writeEarlierOutputs(dir);
    std::map<std::string, std::string> expected = snapshot(dir.path());
    if (c.plotsWritten) {
      for (const std::string& name : plotNames())
        expected[kPlots + "/" + name] = readFile(reference / (kPlots + "/" + name));
    }
    const RunResult r = runCalib(dir.path(), {kChip, kConfig, "./adc.txt"},
                                 RunOptions{Stdout::Discarded, static_cast<unsigned long>(c.limit)});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, c.err);
    // Earlier files byte for byte (the tables and the results are never
    // replaced unless all three are complete), and no temporary file
    // anywhere.
    EXPECT_EQ(snapshot(dir.path()), expected);
  }
}

TEST(WriteFaults, FullStandardOutputIsReportedAndTheFilesAreWritten) {
  TempDir dir;
  writeFile(dir / "adc.txt", smallRun());
  const RunResult r = runCalib(dir.path(), {kChip, kConfig, "./adc.txt"}, Stdout::Full);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "calib: cannot write standard output: No space left on device\n");
  const std::string log = readFile(dir / kLog);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + 32);
  ASSERT_TRUE(fs::is_directory(dir.path() / kPlots));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / kPlots), fs::directory_iterator()), 34);
}

TEST(TemporaryRegistry, HoldsExactlyTheTemporariesThatExist) {
  TempDir dir;
  const int before = liveTemporaryCount();
  const auto create = [&](const char* name) {
    Result<OutputFile, std::error_code> f = OutputFile::create(dir / name);
    return f ? std::optional<OutputFile>(std::move(*f)) : std::nullopt;
  };
  std::optional<OutputFile> published = create("a");
  std::optional<OutputFile> dropped = create("b");
  std::optional<OutputFile> kept = create("c");
  ASSERT_TRUE(published && dropped && kept);
  EXPECT_EQ(liveTemporaryCount(), before + 3);
  published->out().put("a\n");
  EXPECT_FALSE(published->publish());
  dropped.reset();
  EXPECT_EQ(liveTemporaryCount(), before + 1);
  // A moved file keeps its one entry.
  OutputFile moved = std::move(*kept);
  kept.reset();
  EXPECT_EQ(liveTemporaryCount(), before + 1);
  EXPECT_TRUE(fs::exists(moved.temporaryPath()));

  // What a signal handler does: the one live temporary goes, the
  // published file stays.
  removeLiveTemporaries();
  EXPECT_FALSE(fs::exists(moved.temporaryPath()));
  EXPECT_EQ(readFile(dir / "a"), "a\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// Opens the writing end of a FIFO once the program has opened the reading
// end; -1 after a few seconds without a reader.
int openFifoForWriting(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::vector<std::string> temporariesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.path().filename().string().starts_with(".")) names.push_back(entry.path().filename().string());
  return names;
}

TEST(Signals, ARunEndedBySignalWhileReadingLeavesTheEarlierOutputs) {
  // The input comes through a FIFO: the test writes part of a run and
  // keeps the FIFO open, so the program is reading, with its tables'
  // temporaries open, when the signal arrives.
  std::string text;
  {
    OutBuffer out(stringSink(text));
    sim::SimOptions options;
    options.lines = 60000;
    sim::writeRun(options, out);
    out.flush();
  }
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    TempDir dir;
    writeEarlierOutputs(dir);
    ASSERT_EQ(::mkfifo((dir / "adc.fifo").c_str(), 0600), 0);
    const std::map<std::string, std::string> earlier = snapshot(dir.path());

    CalibProcess calib(dir.path(), {kChip, kConfig, "./adc.fifo"});
    const int fifo = openFifoForWriting(dir / "adc.fifo");
    ASSERT_GE(fifo, 0);
    // Two thirds of the run: more commentary than the program buffers.
    ASSERT_TRUE(writeAll(fifo, std::string_view(text).substr(0, text.size() * 2 / 3)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (calib.outputSoFar().find("\nline ") == std::string::npos && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(calib.outputSoFar().find("\nline "), std::string::npos);
    // The temporaries of the two tables and the results exist now.
    EXPECT_EQ(temporariesIn(dir.path()).size(), 3u);

    ASSERT_EQ(::kill(calib.pid(), sig), 0);
    const RunResult r = calib.wait();
    ::close(fifo);
    EXPECT_EQ(r.termSignal, sig);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(snapshot(dir.path()), earlier);
  }
}

// Whether the program has started (its name is calib.exe's, after the
// exec) and is asleep in a system call.
bool asleepInCalib(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t name = stat.rfind(')');  // "pid (name) state ..."
  return stat.find(" (calib.exe) ") != std::string::npos && name + 2 < stat.size() && stat[name + 2] == 'S';
}

TEST(Signals, ARunWaitingOnAFifoThatNeverDeliversEndsBySignal) {
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer runs a signal's handler only once the program leaves
  // the call it waits in, which for a FIFO never delivering is never.
  GTEST_SKIP() << "ThreadSanitizer defers signal handlers in a blocking open or read";
#endif
  // Nobody opens the FIFO's writing end (calib waits in its open), or a
  // writer holds it open and writes nothing (calib waits in its first read).
  for (const bool writer : {false, true}) {
    SCOPED_TRACE(writer ? "a writer that writes nothing" : "no writer");
    TempDir dir;
    writeEarlierOutputs(dir);
    ASSERT_EQ(::mkfifo((dir / "adc.fifo").c_str(), 0600), 0);
    const std::map<std::string, std::string> earlier = snapshot(dir.path());

    CalibProcess calib(dir.path(), {kChip, kConfig, "./adc.fifo"});
    const int fifo = writer ? openFifoForWriting(dir / "adc.fifo") : -1;
    ASSERT_EQ(fifo >= 0, writer);
    const auto waitFor = [&](const auto& condition) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return condition();
    };
    ASSERT_TRUE(waitFor([&] { return asleepInCalib(calib.pid()); }));
    ASSERT_EQ(::kill(calib.pid(), SIGTERM), 0);
    ASSERT_TRUE(waitFor([&] { return calib.finished(); }));  // else it is killed as the test ends
    const RunResult r = calib.wait();
    if (fifo >= 0) ::close(fifo);
    EXPECT_EQ(r.termSignal, SIGTERM);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(snapshot(dir.path()), earlier);
  }
}

TEST(LargeInput, MillionsOfLinesInBoundedMemory) {
  // Three million simulated lines (about 300 MB), written straight to the
  // file so that the test process stays small: the program's peak memory
  // is measured from the fork on.
  TempDir dir;
  constexpr std::int64_t kLines = 3'000'000;
  sim::RunTruth truth;
  {
    const int fd = ::open((dir / "adc.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    OutBuffer out(fdSink(fd));
    sim::SimOptions options;
    options.lines = kLines;
    options.seed = 11;
    truth = sim::writeRun(options, out);
    ASSERT_FALSE(out.flush());
    ::close(fd);
  }
  ASSERT_EQ(truth.lines, kLines);

  RunOptions options;
  options.stdoutTail = 1 << 20;
  const RunResult r = runCalib(dir.path(), {kChip, kConfig, "./adc.txt"}, options);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  const std::size_t last = r.out.rfind("\nline ");
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(r.out.substr(last + 1, r.out.find(' ', last + 6) - last - 1), "line " + std::to_string(kLines));
  EXPECT_NE(r.out.find("\n ichan 31 nOK 14\n"), std::string::npos);

  const std::string log = readFile(dir / kLog);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + 32);
  EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, 3), "31 ");
  const std::string binInfo = readFile(dir / kBinInfo);
  EXPECT_EQ(binInfo.substr(0, 8), "NZeros:\n");
  EXPECT_NE(binInfo.find("Peak Position Statistics:"), std::string::npos);
  EXPECT_EQ(binInfo.back(), '\n');
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / kPlots), fs::directory_iterator()), 34);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Under the sanitizers the shadow memory (and AddressSanitizer's
  // quarantine of freed blocks) makes the resident size meaningless; the
  // normal build checks it.
  EXPECT_LT(r.maxRssKb, 40 * 1024);
#endif
}

}  // namespace
}  // namespace calib::test
