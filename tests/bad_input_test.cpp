// Bad input end to end: files that hold no pulses or no text at all, paths
// that cannot work, and argument strings of awkward lengths. Each case
// checks the exit status, the exact messages and the exact set of files
// the run leaves. (The basic cases, a missing ADC file, a directory, an
// over-long line, odd line contents, live in e2e_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "adc_text.hpp"
#include "support/compressor.hpp"
#include "test_util.hpp"
#include "tools/sim/run_writer.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;

// What a run without pulses leaves beside its input: the header-only log,
// the statistics, the results and the two (empty) chip summaries.
std::vector<std::string> outputsWithoutPulses(const std::string& adc, const std::string& chip,
                                              const std::string& chipNumber, const std::string& config) {
  const std::string log = "gain_kelta" + chip + "_" + config + ".log";
  const std::string plots = "png/calib/" + chipNumber + "/" + config;
  std::vector<std::string> files = {adc,
                                    log,
                                    log + ".bininfo",
                                    log + ".json",
                                    "png",
                                    "png/calib",
                                    "png/calib/" + chipNumber,
                                    plots,
                                    plots + "/amp_sig_chip_" + chipNumber + "_fitpar0.png",
                                    plots + "/amp_sig_chip_" + chipNumber + "_fitpar1.png"};
  std::sort(files.begin(), files.end());
  return files;
}

// The warning for an ADC file in which no window was analysed.
std::string noPulses(const std::string& adc) {
  return "calib: warning: ADC file '" + adc + "': no pulse train was found (no window was analysed); the gain table "
         "is empty\n";
}

// The last "line N" of the commentary, or 0.
long lastLineNumber(const std::string& out) {
  const std::size_t at = out.rfind("\nline ");
  return at == std::string::npos ? 0 : std::stol(out.substr(at + 6));
}

TEST(BadInput, FilesWithoutPulsesGiveEmptyResults) {
  struct Case {
    std::string name;
    std::string text;
    long lines;
  };
  std::mt19937 rng(20260);
  std::string garbage(300000, '\0');
  for (char& c : garbage) c = static_cast<char>(rng() & 0xFF);
  garbage.back() = 'x';  // no line feed at the end
  const long garbageLines = static_cast<long>(std::count(garbage.begin(), garbage.end(), '\n'));
  ASSERT_NE(garbage.find('\0'), std::string::npos);
  long nulLines = 0;  // of the lines read: all but the last, which has no line feed
  for (std::size_t p = 0, q; (q = garbage.find('\n', p)) != std::string::npos; p = q + 1)
    nulLines += garbage.find('\0', p) < q;

  for (const Case& c : {Case{"empty", "", 0}, Case{"zero lines only", zeroLines(50), 50},
                        Case{"binary garbage", garbage, garbageLines}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir / "adc.txt", c.text);
    const RunResult r = runCalib(dir.path(), {"1", "c", "./adc.txt"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, (c.name != "binary garbage"
                          ? ""
                          : "calib: warning: ADC file './adc.txt' is not a text file: " + std::to_string(nulLines) +
                                " lines hold NUL bytes\ncalib: warning: ADC file './adc.txt': line " +
                                std::to_string(garbageLines + 1) +
                                " has no line feed at the end of the file and was not read\n") +
                         noPulses("./adc.txt"));
    EXPECT_EQ(lastLineNumber(r.out), c.lines);
    EXPECT_EQ(r.out.substr(r.out.size() - 16), " ichan 31 nOK 0\n");
    EXPECT_EQ(readFile(dir / "gain_kelta1_c.log"), "Channel #  Calib (mV/fC)\n");
    EXPECT_EQ(filesIn(dir.path()), outputsWithoutPulses("adc.txt", "1", "1", "c"));
  }
}

TEST(BadInput, WarningsSayWhatLooksWrong) {
  using namespace std::string_literals;
  struct Case {
    std::vector<std::string> args;
    std::string text;
    std::string warning;  // before the one for a file without pulses
  };
  const std::string binary = "\x01\xff\x7f more bytes \n" + zeroLines(2);
  const std::string notText = "calib: warning: ADC file './adc.txt' is not a text file: it looks like ";
  const auto compressed = [](Compression format, const std::string& text) {
    std::string out;
    Compressor compressor(format, stringSink(out));
    compressor.sink()(text);
    compressor.finish();
    return out;
  };
  const auto twice = [&](Compression format) { return compressed(format, compressed(format, binary) + "\n"); };
  const auto chip = [](const std::string& text, const std::string& problem, const std::string& dir) {
    return "calib: warning: chip string '" + text + "' " + problem + "; its plots go to 'png/calib/" + dir + "/c'\n";
  };
  const Case cases[] = {
      // gzip and zstd are read; compressed twice, what is read is no text.
      {{"1", "c", "./adc.txt"}, twice(Compression::Gzip), notText + "gzip-compressed data\n"},
      {{"1", "c", "./adc.txt"}, twice(Compression::Zstd), notText + "zstd-compressed data\n"},
      // What gzip holds starts with a zstd skippable frame, as pzstd's output does.
      {{"1", "c", "./adc.txt"}, compressed(Compression::Gzip, "\x5f\x2a\x4d\x18\0\0\0\0"s + binary),
       notText + "zstd-compressed data\n"},
      {{"1", "c", "./adc.txt"}, "\xfd" "7zXZ\0"s + binary, notText + "xz-compressed data\n"},
      {{"1", "c", "./adc.txt"}, "BZh9"s + binary, notText + "bzip2-compressed data\n"},
      {{"1", "c", "./adc.txt"}, "BZhx"s + binary, ""},
      {{"1", "c", "./adc.txt"}, "1 2\0 3\n"s + zeroLines(2) + "\0\n"s,
       "calib: warning: ADC file './adc.txt' is not a text file: 2 lines hold NUL bytes\n"},
      {{"abc", "c", "./adc.txt"}, zeroLines(3), chip("abc", "is not a number", "0")},
      {{"12x", "c", "./adc.txt"}, zeroLines(3), chip("12x", "is not a number", "12")},
      {{"-", "c", "./adc.txt"}, zeroLines(3), chip("-", "is not a number", "0")},
      {{"2147483648", "c", "./adc.txt"}, zeroLines(3), chip("2147483648", "is beyond the int range", "2147483647")},
      {{"-2147483649", "c", "./adc.txt"}, zeroLines(3), chip("-2147483649", "is beyond the int range", "-2147483648")},
      {{"0002147483647", "c", "./adc.txt"}, zeroLines(3), ""},
      {{"-2147483648", "c", "./adc.txt"}, zeroLines(3), ""},
      {{"+7", "c", "./adc.txt"}, zeroLines(3), ""},
      {{"1", "c", "./adc.txt", "x", "--quiet"}, zeroLines(3),
       "calib: warning: '--quiet' after the three arguments is ignored; options go before the arguments\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.text.substr(0, 6));
    TempDir dir;
    writeFile(dir / "adc.txt", c.text);
    const RunResult r = runCalib(dir.path(), c.args);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, c.warning + noPulses("./adc.txt"));
  }
}

TEST(BadInput, WithoutJsonTheResultsOfAnEarlierRunGo) {
  TempDir dir;
  writeFile(dir / "adc.txt", zeroLines(3));
  writeFile(dir / "gain_kelta1_c.log.json", "{\"an earlier run\": true}\n");
  const RunResult r = runCalib(dir.path(), {"--no-json", "1", "c", "./adc.txt"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_FALSE(fs::exists(dir.path() / "gain_kelta1_c.log.json"));
  EXPECT_TRUE(fs::exists(dir.path() / "gain_kelta1_c.log"));
}

TEST(BadInput, LongestLineIsReadAndOneMoreCharacterStopsTheReading) {
  for (const std::size_t length : {std::size_t{99999}, std::size_t{100000}}) {
    SCOPED_TRACE(length);
    TempDir dir;
    writeFile(dir / "adc.txt", zeroLines(3) + std::string(length, '7') + "\n" + zeroLines(3));
    const RunResult r = runCalib(dir.path(), {"1", "c", "./adc.txt"});
    if (length == 99999) {
      EXPECT_EQ(r.exitStatus, 0);
      EXPECT_EQ(r.err, noPulses("./adc.txt"));
      EXPECT_EQ(lastLineNumber(r.out), 7);
      // Channel 0 reads the one long number, clamped to the int range.
      EXPECT_NE(r.out.find("\nline 4 sample0 adc 2147483647 "), std::string::npos);
    } else {
      EXPECT_EQ(r.exitStatus, 1);
      EXPECT_EQ(r.err,
                "calib: ADC file './adc.txt': line 4 has 100000 or more characters; reading stopped there and the "
                "rest of the file was ignored\n" +
                    noPulses("./adc.txt"));
      EXPECT_EQ(lastLineNumber(r.out), 3);
    }
    EXPECT_EQ(filesIn(dir.path()), outputsWithoutPulses("adc.txt", "1", "1", "c"));
  }
}

TEST(BadInput, CrLfLineEndsGiveTheSameResults) {
  // A CR ends the last value of a line the way the end of the text does, so
  // a run with CR LF line ends gives the same tables as with LF.
  std::string results[2];
  for (const bool crlf : {false, true}) {
    sim::SimOptions options;
    options.trains = 20;
    options.seed = 77;
    options.crlf = crlf;
    std::string text;
    {
      OutBuffer out(stringSink(text));
      sim::writeRun(options, out);
      out.flush();
    }
    EXPECT_EQ(text.find('\r') != std::string::npos, crlf);
    TempDir dir;
    writeFile(dir / "adc.txt", text);
    const RunResult r = runCalib(dir.path(), {"100000", options.config, "./adc.txt"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    const std::string log = dir / ("gain_kelta100000_" + options.config + ".log");
    results[crlf] = readFile(log) + readFile(log + ".bininfo");
  }
  EXPECT_GT(std::count(results[0].begin(), results[0].end(), '\n'), 33);
  EXPECT_EQ(results[1], results[0]);
}

TEST(BadInput, PathsThatCannotWork) {
  struct Case {
    std::string config;
    std::string adc;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"c", "", "outfile = ./gain_kelta1_c.log\n", "calib: cannot open ADC file '': No such file or directory\n"},
      // A regular file where the ADC file's directory should be.
      {"c", "./notdir/adc.txt", "outfile = ./notdir/gain_kelta1_c.log\n",
       "calib: cannot open ADC file './notdir/adc.txt': Not a directory\n"},
      // A regular file where the gain log's directory should be.
      {"x/y", "./adc.txt", "outfile = ./gain_kelta1_x/y.log\n",
       "calib: cannot create gain log './gain_kelta1_x/y.log': Not a directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.adc + " " + c.config);
    TempDir dir;
    writeFile(dir / "adc.txt", zeroLines(3));
    writeFile(dir / "notdir", "");
    writeFile(dir / "gain_kelta1_x", "");
    const RunResult r = runCalib(dir.path(), {"1", c.config, c.adc});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"adc.txt", "gain_kelta1_x", "notdir"}));
  }
}

TEST(BadInput, LongChipAndConfigurationStrings) {
  // Up to the file-name limit (255) of the gain log's name and its
  // temporaries the run works; beyond it the gain log cannot be created and
  // nothing is made. A chip string beyond the int range names its plots
  // with the clamped number.
  const std::string chip200(200, '9');
  const std::string config200(200, 'c');
  {
    TempDir dir;
    writeFile(dir / "adc.txt", zeroLines(3));
    const RunResult r = runCalib(dir.path(), {chip200, "c", "./adc.txt"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "calib: warning: chip string '" + chip200 +
                         "' is beyond the int range; its plots go to 'png/calib/2147483647/c'\n" +
                         noPulses("./adc.txt"));
    EXPECT_EQ(filesIn(dir.path()), outputsWithoutPulses("adc.txt", chip200, "2147483647", "c"));
  }
  {
    TempDir dir;
    writeFile(dir / "adc.txt", zeroLines(3));
    const RunResult r = runCalib(dir.path(), {"1", config200, "./adc.txt"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, noPulses("./adc.txt"));
    EXPECT_EQ(filesIn(dir.path()), outputsWithoutPulses("adc.txt", "1", "1", config200));
  }
  for (const bool longChip : {true, false}) {
    const std::string chip = longChip ? std::string(5000, '9') : "1";
    const std::string config = longChip ? "c" : std::string(5000, 'c');
    TempDir dir;
    writeFile(dir / "adc.txt", zeroLines(3));
    const RunResult r = runCalib(dir.path(), {chip, config, "./adc.txt"});
    const std::string log = "./gain_kelta" + chip + "_" + config + ".log";
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "outfile = " + log + "\n");
    EXPECT_EQ(r.err, "calib: cannot create gain log '" + log + "': File name too long\n");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"adc.txt"});
  }
}

}  // namespace
}  // namespace calib::test
