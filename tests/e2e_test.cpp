// End-to-end: the program run on small files, compared byte for byte with
// golden files, and the behaviour on bad input and unwritable outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "adc_text.hpp"
#include "test_util.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;

// Replaces channel 0 of the first line of text.
std::string withFirstValue(const std::string& text, int value) {
  return std::to_string(value) + text.substr(text.find(' '));
}

void expectGolden(const std::string& name, const std::string& actual) {
  const std::string problem = compareWithGolden(name, actual);
  EXPECT_TRUE(problem.empty()) << problem;
}

const std::string kLog = "gain_kelta100000_20mV_calib-odd.log";

TEST(EndToEnd, TpcRunMatchesGoldenFiles) {
  // Two windows of 230 samples between runs of 12, 10 and 5 zero lines;
  // channel 0 reads 3 on line 1 and 52 on line 13.
  TempDir dir;
  fs::create_directory(dir.path() / "run7");
  writeFile(dir / "run7/x_adc.txt", withFirstValue(zeroLines(12), 3) + withFirstValue(pulseTrain(230, 40, 13), 52) +
                                        zeroLines(10) + pulseTrain(230, 41, 13) + zeroLines(5));
  const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "run7/x_adc.txt"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  expectGolden("tpc_run.stdout", r.out);
  expectGolden("tpc_run.log", readFile(dir / ("run7/" + kLog)));
  expectGolden("tpc_run.bininfo", readFile(dir / ("run7/" + kLog + ".bininfo")));
  EXPECT_TRUE(fs::is_directory(dir.path() / "png/calib/100000/20mV_calib-odd"));
  EXPECT_EQ(filesIn(dir.path() / "run7"), (std::vector<std::string>{kLog, kLog + ".bininfo", kLog + ".json", "x_adc.txt"}));
}

TEST(EndToEnd, MuchRunMatchesGoldenFiles) {
  // Chip string 0042: the log name keeps it, the plot directory gets 42.
  TempDir dir;
  writeFile(dir / "much.txt", zeroLines(11) + pulseTrain(215, 25, 12) + zeroLines(14) + pulseTrain(220, 24, 12) +
                                  zeroLines(1) + pulseTrain(205, 26, 12) + zeroLines(3));
  const RunResult r = runCalib(dir.path(), {"0042", "4mV_odd", "./much.txt", "ignored", "arguments"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  expectGolden("much_run.stdout", r.out);
  expectGolden("much_run.log", readFile(dir / "gain_kelta0042_4mV_odd.log"));
  expectGolden("much_run.bininfo", readFile(dir / "gain_kelta0042_4mV_odd.log.bininfo"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "png/calib/42/4mV_odd"));
}

TEST(EndToEnd, UnusualLinesMatchGoldenFiles) {
  // CR LF line ends inside a window, tabs, short, empty and over-full
  // lines, signs and junk, numbers beyond the int range, a NUL, a zero run
  // of 25, and a last line without a line feed.
  using namespace std::string_literals;
  std::string train = pulseTrain(228, 40, 13);
  std::string crlf;
  for (std::size_t p = 0, q; (q = train.find('\n', p)) != std::string::npos; p = q + 1)
    crlf += train.substr(p, q - p) + "\r\n";
  const std::string text = zeroLines(25) + crlf + zeroLines(10) + "12\t0\t0\t0\t0\t0\t0\t0\t0\t0\n" + "\n" + "   \n" +
                           "7 8 9\n" + "-5 +6 x7 99999999999 -99999999999 0x10 1e3 \n" +
                           uniformLine(100).substr(0, uniformLine(100).size() - 1) + " 0 0 0 0 0 0 0 0 0 0\n" +
                           "1 0 0 0\0 0 0 0 0 0 0\n"s + "0 0 0 0 0 0 0 0 \r\n" + "0 0 0 0 0 0 0 0\r\n" + "500 500";
  TempDir dir;
  writeFile(dir / "odd lines.txt", text);
  const RunResult r = runCalib(dir.path(), {"7", "30mV", "odd lines.txt"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err,
            "calib: warning: ADC file 'odd lines.txt' is not a text file: 1 line holds NUL bytes\n"
            "calib: warning: ADC file 'odd lines.txt': line 273 has no line feed at the end of the file and "
            "was not read\n");
  expectGolden("unusual_lines.stdout", r.out);
  expectGolden("unusual_lines.bininfo", readFile(dir / "gain_kelta7_30mV.log.bininfo"));
  expectGolden("unusual_lines.log", readFile(dir / "gain_kelta7_30mV.log"));
}

TEST(EndToEnd, UsageWithFewerThanThreeArguments) {
  struct Case {
    std::vector<std::string> args;
    int argc;  // as the usage text counts: the program and the arguments, not the options
    std::string err;
  };
  const Case cases[] = {
      {{}, 1, "calib: missing arguments chipstring, config and adcfilename\n"},
      {{"--quiet", "1"}, 2, "calib: missing arguments config and adcfilename\n"},
      {{"1", "cfg"}, 3, "calib: missing argument adcfilename\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const RunResult r = runCalib(dir.path(), c.args);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.out, "not enough arguments: argc = " + std::to_string(c.argc) +
                         "\nSyntax should be:\n./calib.exe chipstring config adcfilename\nExample:\n./calib.exe 100000 "
                         "20mV_calib-odd /home/tpc/robot/20180725/123510_kelta100000/"
                         "123510_kelta100000_dunor00_link00_20mV_calib-odd_adc.txt\n");
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(filesIn(dir.path()).empty());
  }
}

TEST(EndToEnd, AdcPathWithoutDirectoryPutsTheLogInTheWorkingDirectory) {
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(3));
  const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "adc.txt"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "outfile = ./" + kLog);
  EXPECT_TRUE(fs::exists(dir.path() / kLog));
}

TEST(EndToEnd, OutputDirectoryTakesTheTablesAndTheRawDataIsLeftAlone) {
  TempDir dir;
  fs::create_directories(dir.path() / "raw");
  fs::create_directories(dir.path() / "out");
  writeFile(dir / "raw/adc.txt", zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(12));
  fs::permissions(dir.path() / "raw", fs::perms::owner_read | fs::perms::owner_exec);
  const RunResult r = runCalib(dir.path(), {"--quiet", "--output-dir", "out", "7", "20mV_calib-odd", "raw/adc.txt"});
  fs::permissions(dir.path() / "raw", fs::perms::owner_all);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "outfile = out/gain_kelta7_20mV_calib-odd.log");
  EXPECT_EQ(filesIn(dir.path() / "raw"), std::vector<std::string>{"adc.txt"});
  EXPECT_EQ(filesIn(dir.path() / "out"),
            (std::vector<std::string>{"gain_kelta7_20mV_calib-odd.log", "gain_kelta7_20mV_calib-odd.log.bininfo",
                                      "gain_kelta7_20mV_calib-odd.log.json"}));
  EXPECT_TRUE(fs::exists(dir.path() / "png/calib/7/20mV_calib-odd/amp_sig_chip_7_fitpar1.png"));
}

TEST(EndToEnd, UnreadableAdcFileCreatesNothing) {
  struct Case {
    std::string adc;
    std::string reason;
  };
  for (const Case& c : {Case{"missing.txt", "No such file or directory"}, Case{"adcdir", "Is a directory"}}) {
    TempDir dir;
    fs::create_directory(dir.path() / "adcdir");
    writeFile(dir / kLog, "previous table\n");
    const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "./" + c.adc});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "outfile = ./" + kLog + "\n");
    EXPECT_EQ(r.err, "calib: cannot open ADC file './" + c.adc + "': " + c.reason + "\n");
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"adcdir", kLog}));
    EXPECT_EQ(readFile(dir / kLog), "previous table\n");
  }
  // A log path directly under the root directory is named as such.
  TempDir dir;
  const RunResult r = runCalib(dir.path(), {"1", "c", "/no-such-calib-input.txt"});
  EXPECT_EQ(r.out, "outfile = /gain_kelta1_c.log\n");
  EXPECT_EQ(r.exitStatus, 1);
}

TEST(EndToEnd, OutputsThatCannotBeCreatedStopTheRun) {
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(3));
  // A configuration with a "/" puts the log in a directory that is missing.
  RunResult r = runCalib(dir.path(), {"1", "a/b", "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "outfile = ./gain_kelta1_a/b.log\n");
  EXPECT_EQ(r.err, "calib: cannot create gain log './gain_kelta1_a/b.log': No such file or directory\n");

  // A log name that fits the file-name limit while the bin-information
  // name does not: the log's temporary file is removed again and a log
  // from an earlier run stays as it was.
  const std::string config(255 - 8 - std::string("gain_kelta1_.log").size() + 1, 'c');
  const std::string log = "gain_kelta1_" + config + ".log";
  writeFile(dir / log, "earlier table\n");
  r = runCalib(dir.path(), {"1", config, "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "calib: cannot create bin-information file './" + log + ".bininfo': File name too long\n");
  EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"adc.txt", log}));
  EXPECT_EQ(readFile(dir / log), "earlier table\n");
}

TEST(EndToEnd, PlotDirectoryThatCannotBeCreated) {
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(3));
  writeFile(dir / "png", "a file where the plot tree should start\n");
  const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err,
            "calib: cannot create plot directory 'png/calib/100000/20mV_calib-odd': Not a directory; no plots will "
            "be written\ncalib: warning: ADC file './adc.txt': no pulse train was found (no window was analysed); "
            "the gain table is empty\n");
  EXPECT_NE(r.out.find("\n executing command .! mkdir -p png/calib/100000/20mV_calib-odd\n"), std::string::npos);
  EXPECT_EQ(readFile(dir / kLog), "Channel #  Calib (mV/fC)\n");
  EXPECT_TRUE(fs::exists(dir.path() / (kLog + ".bininfo")));
}

TEST(EndToEnd, APlotThatCannotBeWrittenIsAnError) {
  // A directory where the plot of channel 0 should go: that plot fails,
  // every other output is written.
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(12) + pulseTrain(230, 40, 13) +
                                 zeroLines(2));
  const std::string plots = "png/calib/100000/20mV_calib-odd/";
  fs::create_directories(dir.path() / plots / "amp_sig_chip_100000_chan_00.png");
  const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "calib: cannot write plot '" + plots + "amp_sig_chip_100000_chan_00.png': Is a directory\n");
  const std::string log = readFile(dir / kLog);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + 32);
  EXPECT_EQ(filesIn(dir.path() / plots).size(), 34u);
  EXPECT_TRUE(fs::is_directory(dir.path() / plots / "amp_sig_chip_100000_chan_00.png"));
}

TEST(EndToEnd, ConfigurationIsNeverRunByAShell) {
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(3));
  const std::string config = "a b;touch pwned $(touch pwned2) 'q' \"dq\" `touch pwned3` | touch pwned4 && > pwned5";
  const RunResult r = runCalib(dir.path(), {"5", config, "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(fs::is_directory(dir.path() / "png/calib/5" / config));
  EXPECT_FALSE(fs::exists(dir.path() / "pwned"));
  EXPECT_FALSE(fs::exists(dir.path() / "pwned2"));
  EXPECT_FALSE(fs::exists(dir.path() / "pwned3"));
  EXPECT_FALSE(fs::exists(dir.path() / "pwned4"));
  EXPECT_FALSE(fs::exists(dir.path() / "pwned5"));
  EXPECT_TRUE(fs::exists(dir.path() / ("gain_kelta5_" + config + ".log")));
  EXPECT_NE(r.out.find(" executing command .! mkdir -p png/calib/5/" + config + "\n"), std::string::npos);
}

TEST(EndToEnd, OverLongLineEndsTheReadingButTheResultsAreWritten) {
  TempDir dir;
  writeFile(dir / "adc.txt",
            zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(2) + std::string(100000, '5') + "\n" + zeroLines(20));
  const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err,
            "calib: ADC file './adc.txt': line 245 has 100000 or more characters; reading stopped there and "
            "the rest of the file was ignored\n");
  // The last line read is the one before the long line; the gain curves follow.
  const std::size_t curves = r.out.find(" ichan 0 : ");
  ASSERT_NE(curves, std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.rfind("line ", curves)), "line 244 sample0 adc 0 nsamples 0 nZerosInARow 2\n" +
                                                             r.out.substr(curves));
  // The window read before the long line is in the statistics.
  EXPECT_NE(readFile(dir / (kLog + ".bininfo")).find("\n00 01  41    1\n"), std::string::npos);
  // adc, log, bininfo, results, png/calib/100000/20mV_calib-odd and its 34 plots
  EXPECT_EQ(filesIn(dir.path()).size(), 8u + 34u);
}

TEST(EndToEnd, ReadErrorEndsTheReadingButTheResultsAreWritten) {
  // Reading this file fails at once with EIO.
  TempDir dir;
  fs::create_symlink("/proc/self/mem", dir.path() / "adc.txt");
  const RunResult r = runCalib(dir.path(), {"1", "x", "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err,
            "calib: error reading ADC file './adc.txt' after line 0: Input/output error; the rest of the "
            "file was ignored\ncalib: warning: ADC file './adc.txt': no pulse train was found (no window was "
            "analysed); the gain table is empty\n");
  EXPECT_EQ(readFile(dir / "gain_kelta1_x.log"), "Channel #  Calib (mV/fC)\n");
  EXPECT_TRUE(fs::exists(dir.path() / "gain_kelta1_x.log.bininfo"));
}

TEST(EndToEnd, ClosedStandardOutputIsAnErrorAndNeverReachesTheFiles) {
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(2));
  const RunResult r = runCalib(dir.path(), {"100000", "20mV_calib-odd", "./adc.txt"}, Stdout::Closed);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "calib: cannot write standard output: Bad file descriptor\n");
  // The files hold their own text only: the header and one row per channel.
  const std::string log = readFile(dir / kLog);
  EXPECT_EQ(log.substr(0, 25), "Channel #  Calib (mV/fC)\n");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + 32);
  EXPECT_EQ(readFile(dir / (kLog + ".bininfo")).substr(0, 8), "NZeros:\n");
}

}  // namespace
}  // namespace calib::test
