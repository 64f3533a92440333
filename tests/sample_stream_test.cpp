#include "analysis/sample_stream.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "adc_text.hpp"

namespace calib {
namespace {

using test::adcLine;
using test::uniformLine;
using test::Values;
using test::zeroLines;

// Runs text through the reading loop of the given preset.
struct StreamRun {
  explicit StreamRun(const std::string& text, const DetectorPreset& preset = kPresetTPC)
      : hists(bookHistograms(preset)) {
    OutBuffer console(stringSink(out));
    const std::unique_ptr<ByteSource> source = memorySource(text);
    summary = readSampleStream(*source, preset, hists, console);
    console.flush();
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

  // The commentary line of input line n.
  std::string lineOf(std::int64_t n) const {
    const std::string prefix = "line " + std::to_string(n) + " ";
    for (const std::string& l : lines())
      if (l.rfind(prefix, 0) == 0) return l;
    return "";
  }

  std::string out;
  HistogramSet hists;
  StreamSummary summary{};
};

std::string repeatLine(const std::string& line, int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += line;
  return text;
}

std::string dataLines(int n) { return repeatLine(uniformLine(100), n); }

TEST(SampleStream, WorkedExample) {
  // 12 zero lines (channel 0 reads 3 on the first), 230 data lines (channel
  // 0 reads 52 on the first), 10 zero lines, 230 data lines, 5 zero lines.
  Values first{};
  first[0] = 3;
  Values firstData;
  firstData.fill(100);
  firstData[0] = 52;
  const std::string text = adcLine(first) + zeroLines(11) + adcLine(firstData) + dataLines(229) + zeroLines(10) +
                           dataLines(230) + zeroLines(5);
  StreamRun run(text);

  EXPECT_EQ(run.lineOf(1), "line 1 sample0 adc 3 nsamples 0 nZerosInARow 1");
  EXPECT_EQ(run.lineOf(12), "line 12 sample0 adc 0 nsamples 0 nZerosInARow 12");
  EXPECT_EQ(run.lineOf(13), "line 13 sample0 adc 52 nsamples 1 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(242), "line 242 sample0 adc 100 nsamples 230 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(243), "line 243 sample0 adc 0 nsamples 0 nZerosInARow 1");
  EXPECT_EQ(run.lineOf(252), "line 252 sample0 adc 0 nsamples 0 nZerosInARow 10");
  EXPECT_EQ(run.lineOf(253), "line 253 sample0 adc 100 nsamples 1 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(483), "line 483 sample0 adc 0 nsamples 0 nZerosInARow 1");
  EXPECT_EQ(run.lineOf(487), "line 487 sample0 adc 0 nsamples 0 nZerosInARow 5");

  // The window's commentary comes between line 242's and line 243's.
  const std::vector<std::string> lines = run.lines();
  const auto at = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) - lines.begin(); };
  const auto l242 = at(run.lineOf(242));
  EXPECT_EQ(lines[static_cast<std::size_t>(l242 + 1)], "ichan 0 baseline estimate 100.0");
  EXPECT_EQ(at(run.lineOf(243)) - l242, 1 + 32 * 15);  // 32 channels x (baseline + 13 pulses + baseBin)

  EXPECT_EQ(run.summary.nLines, 487);
  EXPECT_EQ(run.summary.windowsAnalysed, 2);
  EXPECT_EQ(run.summary.zeroRunsRecorded, 2);
  EXPECT_EQ(run.summary.end, LineReader::Status::End);
  const Hist1D& zeros = run.hists.hZeroBins;
  EXPECT_EQ(zeros.entries(), 2);
  EXPECT_EQ(zeros.binContent(13), 1);  // a run of 12
  EXPECT_EQ(zeros.binContent(11), 1);  // a run of 10
  EXPECT_EQ(run.lines().size(), 487u + 2 * (32 * 15));
}

TEST(SampleStream, LowValueAndZeroLineThresholds) {
  // After a data line, a zero line raises nZerosInARow to 1; a data line
  // leaves it at 0.
  struct Case {
    int lowValue;
    int nLow;
    bool zeroLine;
  };
  for (const Case& c : {Case{39, 9, true}, Case{40, 9, false}, Case{39, 8, false}, Case{0, 32, true}, Case{-5, 9, true},
                        Case{-2147483647, 9, true}}) {
    Values v;
    v.fill(500);
    for (int i = 0; i < c.nLow; ++i) v[static_cast<std::size_t>(31 - i)] = c.lowValue;
    StreamRun run(uniformLine(500) + adcLine(v));
    EXPECT_EQ(run.lineOf(2), "line 2 sample0 adc " + std::to_string(v[0]) + " nsamples " +
                                 (c.zeroLine ? "1 nZerosInARow 1" : "2 nZerosInARow 0"))
        << c.lowValue << " x " << c.nLow;
  }
}

TEST(SampleStream, ShortLinesCountOnlyTheirOwnValues) {
  // Eight zeros are never a zero line, even with the other channels low
  // from the line before.
  StreamRun run(uniformLine(0) + "0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(run.lineOf(2), "line 2 sample0 adc 0 nsamples 1 nZerosInARow 0");
}

TEST(SampleStream, ZeroRunsOfTenOrMoreAreRecordedWhenDataResumes) {
  StreamRun nine(zeroLines(9) + dataLines(1));
  EXPECT_EQ(nine.hists.hZeroBins.entries(), 0);
  EXPECT_EQ(nine.lineOf(10), "line 10 sample0 adc 100 nsamples 1 nZerosInARow 0");

  StreamRun ten(dataLines(3) + zeroLines(10) + dataLines(1));
  EXPECT_EQ(ten.hists.hZeroBins.binContent(11), 1);
  // The dropped three-sample window: the next data line starts at 0.
  EXPECT_EQ(ten.lineOf(14), "line 14 sample0 adc 100 nsamples 1 nZerosInARow 0");

  // A short run does not split a window that is not yet complete.
  StreamRun shortRun(dataLines(3) + zeroLines(9) + dataLines(1));
  EXPECT_EQ(shortRun.lineOf(13), "line 13 sample0 adc 100 nsamples 4 nZerosInARow 0");

  StreamRun longRun(zeroLines(25) + dataLines(1));
  EXPECT_EQ(longRun.hists.hZeroBins.entries(), 1);
  EXPECT_EQ(longRun.hists.hZeroBins.binContent(21), 1);  // overflow

  // An open run at the end of the file is never recorded.
  StreamRun open(dataLines(1) + zeroLines(12));
  EXPECT_EQ(open.hists.hZeroBins.entries(), 0);
}

TEST(SampleStream, WindowIsAnalysedOnlyBeyondNPeakBins) {
  for (const DetectorPreset& preset : {kPresetTPC, kPresetMuCh}) {
    const int n = preset.nPeakBins;
    StreamRun atLimit(dataLines(n) + zeroLines(1), preset);
    EXPECT_EQ(atLimit.summary.windowsAnalysed, 0);
    EXPECT_EQ(atLimit.lineOf(n + 1),
              "line " + std::to_string(n + 1) + " sample0 adc 0 nsamples " + std::to_string(n) + " nZerosInARow 1");
    StreamRun beyond(dataLines(n + 1) + zeroLines(3), preset);
    EXPECT_EQ(beyond.summary.windowsAnalysed, 1);  // once, not once per zero line
    EXPECT_EQ(beyond.lineOf(n + 2), "line " + std::to_string(n + 2) + " sample0 adc 0 nsamples 0 nZerosInARow 1");
  }
  // A single zero line inside a long train cuts it there.
  StreamRun cut(dataLines(230) + zeroLines(1) + dataLines(20));
  EXPECT_EQ(cut.summary.windowsAnalysed, 1);
  EXPECT_EQ(cut.lineOf(232), "line 232 sample0 adc 100 nsamples 1 nZerosInARow 0");
}

TEST(SampleStream, WindowRestartsAfterThreeHundredSamples) {
  StreamRun run(dataLines(305) + zeroLines(1));
  EXPECT_EQ(run.lineOf(300), "line 300 sample0 adc 100 nsamples 300 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(301), "line 301 sample0 adc 100 nsamples 1 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(305), "line 305 sample0 adc 100 nsamples 5 nZerosInARow 0");
  EXPECT_EQ(run.summary.windowsAnalysed, 0);
}

TEST(SampleStream, RestartedWindowHoldsTheNewSamples) {
  // Samples 301.. overwrite positions 0..; the analysis of the 230-sample
  // window that follows the restart sees only new values.
  StreamRun run(dataLines(300) + repeatLine(uniformLine(70), 230) + zeroLines(1));
  EXPECT_EQ(run.summary.windowsAnalysed, 1);
  EXPECT_NE(run.out.find("ichan 0 baseline estimate 70.0\n"), std::string::npos);
}

TEST(SampleStream, LinesWithFewerValuesKeepEarlierChannels) {
  // "7" changes channel 0 only; an empty line and a line of blanks store
  // the previous values again and end a zero run like any data line.
  StreamRun run(zeroLines(10) + "7\n" + "\n" + "   \n");
  EXPECT_EQ(run.lineOf(11), "line 11 sample0 adc 7 nsamples 1 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(12), "line 12 sample0 adc 7 nsamples 2 nZerosInARow 0");
  EXPECT_EQ(run.lineOf(13), "line 13 sample0 adc 7 nsamples 3 nZerosInARow 0");
  EXPECT_EQ(run.hists.hZeroBins.entries(), 1);

  // An empty first line stores channels no line has set: they are 0.
  StreamRun first("\n");
  EXPECT_EQ(first.lineOf(1), "line 1 sample0 adc 0 nsamples 1 nZerosInARow 0");
}

TEST(SampleStream, ExtraValuesTabsAndCarriageReturns) {
  // Values after the 32nd are not counted as low.
  Values high;
  high.fill(100);
  std::string line = adcLine(high);
  line.pop_back();
  StreamRun extra(line + " 0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(extra.lineOf(1), "line 1 sample0 adc 100 nsamples 1 nZerosInARow 0");

  // Tab-separated: one token, channel 0 gets the first number.
  StreamRun tabs("5\t0\t0\t0\t0\t0\t0\t0\t0\t0\n");
  EXPECT_EQ(tabs.lineOf(1), "line 1 sample0 adc 5 nsamples 1 nZerosInARow 0");

  // CR after a digit is ignored; after a blank it is a value of its own, 0,
  // which here is the ninth low value.
  StreamRun crDigit("55\r\n");
  EXPECT_EQ(crDigit.lineOf(1), "line 1 sample0 adc 55 nsamples 1 nZerosInARow 0");
  StreamRun eightZerosCr("100 0 0 0 0 0 0 0 0\r\n");
  EXPECT_EQ(eightZerosCr.lineOf(1), "line 1 sample0 adc 100 nsamples 1 nZerosInARow 0");
  StreamRun eightZerosBlankCr("100 0 0 0 0 0 0 0 0 \r\n");
  EXPECT_EQ(eightZerosBlankCr.lineOf(1), "line 1 sample0 adc 100 nsamples 0 nZerosInARow 1");

  // A NUL byte ends what the parser sees of a line: 3 low values, not 9.
  using namespace std::string_literals;
  StreamRun nul("9 0 0 0\0 0 0 0 0 0 0\n"s);
  EXPECT_EQ(nul.lineOf(1), "line 1 sample0 adc 9 nsamples 1 nZerosInARow 0");
}

TEST(SampleStream, HowReadingEnds) {
  StreamRun missingLf(dataLines(2) + "100 100");
  EXPECT_EQ(missingLf.summary.end, LineReader::Status::MissingFinalLineFeed);
  EXPECT_EQ(missingLf.summary.nLines, 2);

  const std::string line99999(99999, '1');
  StreamRun longest(line99999 + "\n" + dataLines(1));
  EXPECT_EQ(longest.summary.end, LineReader::Status::End);
  EXPECT_EQ(longest.summary.nLines, 2);

  StreamRun tooLong(dataLines(2) + std::string(100000, '1') + "\n" + dataLines(5));
  EXPECT_EQ(tooLong.summary.end, LineReader::Status::LineTooLong);
  EXPECT_EQ(tooLong.summary.nLines, 2);

  StreamRun empty("");
  EXPECT_EQ(empty.summary.end, LineReader::Status::End);
  EXPECT_EQ(empty.out, "");
}

}  // namespace
}  // namespace calib
