#include "analysis/gain_curves.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace calib {
namespace {

struct CurveRun {
  explicit CurveRun(const DetectorPreset& p = kPresetTPC) : preset(p), hists(bookHistograms(p)) {}

  // Fills pulse ipeak of channel ichan the way the window analysis does.
  void fillPulse(int ichan, int ipeak, double amp, double maxVal) {
    hists.hPeaks[ichan].fill(ipeak, amp);
    hists.hMax[ichan].fill(ipeak, maxVal);
  }
  void fillTrain(int ichan, double scale, double baseline = 100) {
    for (int ip = preset.firstPeakUsed; ip < preset.nPeaks; ++ip)
      fillPulse(ichan, ip, scale * (ip + 1), baseline + scale * (ip + 1));
  }
  void build() {
    OutBuffer console(stringSink(out));
    curves = buildGainCurves(hists, preset, console);
    console.flush();
  }
  std::vector<std::string> linesOf(int ichan) const {
    std::vector<std::string> result;
    std::istringstream in(out);
    const std::string a = " ichan " + std::to_string(ichan) + " :", b = "ichan " + std::to_string(ichan) + " ";
    for (std::string line; std::getline(in, line);)
      if (line.rfind(a, 0) == 0 || line.rfind(b, 0) == 0) result.push_back(line);
    return result;
  }

  DetectorPreset preset;
  HistogramSet hists;
  GainCurves curves;
  std::string out;
};

TEST(GainCurves, ChargesOfTheGeneratorSteps) {
  char text[16];
  const auto fc = [&](const DetectorPreset& p, int ip) {
    std::snprintf(text, sizeof text, "%.1f", pulseCharge(p, ip));
    return std::string(text);
  };
  EXPECT_EQ(fc(kPresetTPC, 12), "3.2");
  EXPECT_EQ(fc(kPresetTPC, 0), "58.0");
  EXPECT_EQ(fc(kPresetMuCh, 11), "27.2");
  EXPECT_EQ(fc(kPresetMuCh, 2), "144.5");
  EXPECT_EQ(fc(kPresetMuCh, 1), "153.4");
  EXPECT_EQ(fc(kPresetMuCh, 0), "162.3");
  EXPECT_EQ(pulseCharge(kPresetTPC, 0), kmVSteps[0] * (kPulseGenVoltScale * kScaleFactorMuCh));
}

TEST(GainCurves, FullTpcCurve) {
  CurveRun run;
  // Two trains: pulse ip has amplitudes a and a + 2, so a mean of a + 1
  // and a bin error of 1 / sqrt(2).
  for (int ip = 0; ip < 13; ++ip) {
    run.fillPulse(0, ip, 10.0 * (13 - ip), 500);
    run.fillPulse(0, ip, 10.0 * (13 - ip) + 2, 500);
  }
  run.build();
  const GainCurve& c = run.curves[0];
  ASSERT_EQ(c.nOK, 14);
  ASSERT_EQ(c.points.size(), 15u);
  EXPECT_EQ(c.points[0].x, 0);
  EXPECT_EQ(c.points[0].ex, 0.1);
  EXPECT_EQ(c.points[0].ey, 0.1);
  for (int i = 1; i < 14; ++i) {
    const int ip = 13 - i;  // ascending charge
    EXPECT_EQ(c.points[i].x, pulseCharge(kPresetTPC, ip));
    EXPECT_EQ(c.points[i].y, kScaleFactorADC * (10.0 * (13 - ip) + 1));
    EXPECT_EQ(c.points[i].ex, kPrecisionfC);
    EXPECT_EQ(c.points[i].ey, (kPrecisionfC + run.hists.hPeaks[0].binError(ip + 1)) * kScaleFactorADC);
    EXPECT_GT(c.points[i].x, c.points[i - 1].x);
  }
  EXPECT_EQ(c.points[14].x, 0);  // never set
  EXPECT_EQ(c.points[14].ey, 0);
  const std::vector<std::string> lines = run.linesOf(0);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[0], " ichan 0 : 26 values found");
  EXPECT_EQ(lines[1], "ichan 0 ipeak 12 fC_estimate  3.2 amp 23.6 rms  1.7");
  EXPECT_EQ(lines[13], "ichan 0 ipeak 0 fC_estimate 58.0 amp 281.6 rms  1.7");
}

TEST(GainCurves, TooFewEntriesGiveNoPoints) {
  CurveRun run;
  run.fillPulse(1, 3, 50, 150);
  run.build();
  EXPECT_EQ(run.curves[1].nOK, 0);
  EXPECT_EQ(run.curves[2].nOK, 0);
  EXPECT_EQ(run.linesOf(1), std::vector<std::string>{" ichan 1 : 1 values found"});
  EXPECT_EQ(run.linesOf(2), std::vector<std::string>{" ichan 2 : 0 values found"});
  for (const DataPoint& p : run.curves[1].points) EXPECT_EQ(p.x + p.y + p.ex + p.ey, 0);
}

TEST(GainCurves, SaturationLimitAndNoGaps) {
  CurveRun run;
  for (int ip = 0; ip < 13; ++ip) run.fillPulse(0, ip, 100, 500);
  // Pulse 3's mean raw peak is exactly the limit: left out. Pulse 4's is
  // just below: kept.
  run.hists.hMax[0] = Profile(14, -0.5, 13.5);
  for (int ip = 0; ip < 13; ++ip) run.hists.hMax[0].fill(ip, ip == 3 ? 1000.0 : ip == 4 ? 999.9 : 500.0);
  run.build();
  const GainCurve& c = run.curves[0];
  EXPECT_EQ(c.nOK, 13);
  EXPECT_EQ(c.points[9].x, pulseCharge(kPresetTPC, 4));
  EXPECT_EQ(c.points[10].x, pulseCharge(kPresetTPC, 2));  // the next pulse takes the next index
  EXPECT_EQ(c.points[13].x, 0);
  for (const std::string& line : run.linesOf(0)) EXPECT_EQ(line.find("ipeak 3 "), std::string::npos);

  // Every pulse saturated: the origin only.
  CurveRun all;
  for (int ip = 0; ip < 13; ++ip) all.fillPulse(5, ip, 900, 1023);
  all.build();
  EXPECT_EQ(all.curves[5].nOK, 1);
  EXPECT_EQ(all.linesOf(5).size(), 1u);
}

TEST(GainCurves, MuChPulsesBeforeTheFirstUsedGiveZeroPoints) {
  CurveRun run(kPresetMuCh);
  run.fillTrain(7, 20);
  run.build();
  const GainCurve& c = run.curves[7];
  ASSERT_EQ(c.nOK, 13);
  ASSERT_EQ(c.points.size(), 14u);
  EXPECT_EQ(c.points[11].x, pulseCharge(kPresetMuCh, 1));
  EXPECT_EQ(c.points[11].y, 0);
  EXPECT_EQ(c.points[12].x, pulseCharge(kPresetMuCh, 0));
  const std::vector<std::string> lines = run.linesOf(7);
  EXPECT_EQ(lines[0], " ichan 7 : 10 values found");
  EXPECT_EQ(lines[1], "ichan 7 ipeak 11 fC_estimate 27.2 amp 516.0 rms  0.2");
  EXPECT_EQ(lines[11], "ichan 7 ipeak 1 fC_estimate 153.4 amp  0.0 rms  0.2");
  EXPECT_EQ(lines[12], "ichan 7 ipeak 0 fC_estimate 162.3 amp  0.0 rms  0.2");
}

TEST(GainCurves, EntryCountsOfAMillionPrintInExponentForm) {
  CurveRun run;
  for (int i = 0; i < 1'000'000; ++i) run.hists.hPeaks[0].fill(i % 13, 5);
  for (int i = 0; i < 999'999; ++i) run.hists.hPeaks[1].fill(i % 13, 5);
  run.build();
  EXPECT_EQ(run.linesOf(0)[0], " ichan 0 : 1e+06 values found");
  EXPECT_EQ(run.linesOf(1)[0], " ichan 1 : 999999 values found");
}

}  // namespace
}  // namespace calib
