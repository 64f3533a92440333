#include "analysis/window_analysis.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace calib {
namespace {

// A window whose every channel reads `flat` everywhere; set() overrides one
// sample of one channel.
struct Window {
  explicit Window(int flat = 50) {
    rows.assign(kMaxSample, {});
    for (auto& r : rows) r.fill(flat);
  }
  void set(int ichan, int s, int v) { rows[static_cast<std::size_t>(s)][static_cast<std::size_t>(ichan)] = v; }
  WindowBuffer buffer() const {
    WindowBuffer b;
    for (int s = 0; s < kMaxSample; ++s) b.store(s, rows[static_cast<std::size_t>(s)]);
    return b;
  }
  std::vector<std::array<int, kNChan>> rows;
};

struct Analysis {
  Analysis(const Window& w, int n, const DetectorPreset& p) : preset(p), hists(bookHistograms(p)), nsamples(n) {
    OutBuffer console(stringSink(out));
    analyseWindow(w.buffer(), nsamples, preset, hists, console);
    console.flush();
  }
  // The commentary of one channel: from its baseline line to the next.
  std::string channelText(int ichan) const {
    const std::size_t from = out.find("ichan " + std::to_string(ichan) + " baseline");
    const std::size_t to = out.find("ichan " + std::to_string(ichan + 1) + " baseline");
    return out.substr(from, to == std::string::npos ? std::string::npos : to - from);
  }
  DetectorPreset preset;
  HistogramSet hists;
  int nsamples;
  std::string out;
};

TEST(WindowAnalysis, TpcExampleChannel) {
  // Pedestal 50 with one 51 in samples 3..12; pulses exactly at their
  // expected positions 41, 55, ..., 209; sample 230 (the baseline point
  // after the train) reads 51.
  Window w;
  w.set(0, 7, 51);
  const int heights[13] = {230, 221, 210, 200, 190, 180, 170, 160, 140, 120, 100, 80, 62};
  for (int k = 0; k < 13; ++k) {
    const int pos = 41 + 14 * k;
    w.set(0, pos, heights[k]);
    w.set(0, pos - 1, heights[k] - 10);
    w.set(0, pos + 1, heights[k] - 10);
  }
  w.set(0, 230, 51);
  w.set(0, 60, 9999);  // not sampled: outside every search and the pedestal
  Analysis a(w, 240, kPresetTPC);

  EXPECT_EQ(a.channelText(0),
            "ichan 0 baseline estimate 50.1\n"
            "ipeak 0 ibin 41 maxVal 230 amp 180\n"
            "ipeak 1 ibin 55 maxVal 221 amp 171\n"
            "ipeak 2 ibin 69 maxVal 210 amp 160\n"
            "ipeak 3 ibin 83 maxVal 200 amp 150\n"
            "ipeak 4 ibin 97 maxVal 190 amp 140\n"
            "ipeak 5 ibin 111 maxVal 180 amp 130\n"
            "ipeak 6 ibin 125 maxVal 170 amp 120\n"
            "ipeak 7 ibin 139 maxVal 160 amp 110\n"
            "ipeak 8 ibin 153 maxVal 140 amp  90\n"
            "ipeak 9 ibin 167 maxVal 120 amp  70\n"
            "ipeak 10 ibin 181 maxVal 100 amp  50\n"
            "ipeak 11 ibin 195 maxVal 80 amp  30\n"
            "ipeak 12 ibin 209 maxVal 62 amp  12\n"
            "baseBin 230 amp   1\n");
  EXPECT_EQ(a.hists.peakBins(0, 0).binContent(42), 1);
  EXPECT_EQ(a.hists.peakBins(12, 0).binContent(210), 1);
  const Profile& peaks = a.hists.hPeaks[0];
  EXPECT_DOUBLE_EQ(peaks.binContent(1), 230 - 50.1);
  EXPECT_DOUBLE_EQ(peaks.binContent(13), 62 - 50.1);
  EXPECT_DOUBLE_EQ(peaks.binContent(14), 51 - 50.1);
  EXPECT_EQ(a.hists.hMax[0].binContent(1), 230);
  EXPECT_EQ(a.hists.hMax[0].binContent(14), 51);
  EXPECT_EQ(peaks.entries(), 14);
  EXPECT_EQ(a.nsamples, 0);
}

TEST(WindowAnalysis, FlatChannelAndTheBaselinePointAfterTheTrain) {
  // Flat: every search stays on its centre, every amplitude is 0. The
  // baseline point lies at 13 * 14 + 40 + 7 = 229.
  for (int n : {229, 230}) {
    Analysis a(Window(77), n, kPresetTPC);
    const std::string text = a.channelText(5);
    EXPECT_EQ(text.substr(0, 31), "ichan 5 baseline estimate 77.0\n");
    EXPECT_NE(text.find("ipeak 0 ibin 40 maxVal 77 amp   0\n"), std::string::npos);
    EXPECT_NE(text.find("ipeak 12 ibin 208 maxVal 77 amp   0\n"), std::string::npos);
    EXPECT_EQ(text.find("baseBin") != std::string::npos, n == 230) << n;
    EXPECT_EQ(a.hists.hPeaks[5].entries(), n == 230 ? 14 : 13);
  }
}

TEST(WindowAnalysis, PeakSearchTies) {
  // First-pulse search over 35..45 around 40.
  Window w(10);
  w.set(0, 38, 300);
  w.set(0, 42, 300);
  w.set(0, 40, 200);
  EXPECT_EQ(findPeak(w.buffer(), 0, 40, 5), 38);  // lowest position of the maximum
  w.set(0, 40, 300);
  EXPECT_EQ(findPeak(w.buffer(), 0, 40, 5), 40);  // the centre keeps a tie
  // Four samples away is outside a pulse search of +-3.
  Window far(10);
  far.set(0, 104, 500);
  far.set(0, 98, 20);
  EXPECT_EQ(findPeak(far.buffer(), 0, 100, 3), 98);
}

TEST(WindowAnalysis, ChannelsFindTheirOwnFirstPulse) {
  Window w;
  w.set(0, 38, 400);
  w.set(1, 44, 400);
  w.set(1, 44 + 14, 300);
  Analysis a(w, 240, kPresetTPC);
  EXPECT_NE(a.channelText(0).find("ipeak 0 ibin 38 maxVal 400"), std::string::npos);
  EXPECT_NE(a.channelText(1).find("ipeak 0 ibin 44 maxVal 400"), std::string::npos);
  EXPECT_NE(a.channelText(1).find("ipeak 1 ibin 58 maxVal 300"), std::string::npos);
  EXPECT_NE(a.channelText(1).find("baseBin 233 "), std::string::npos);  // 182 + 44 + 7
}

TEST(WindowAnalysis, TpcBaselineUsesSamplesThreeToTwelveOnly) {
  Window w(50);
  w.set(0, 12, 51);
  w.set(0, 2, 1000);
  w.set(0, 13, 1000);
  Analysis a(w, 240, kPresetTPC);
  EXPECT_EQ(a.channelText(0).substr(0, 31), "ichan 0 baseline estimate 50.1\n");
}

TEST(WindowAnalysis, MuchBaselineUsesTheEndOfTheWindow) {
  // nsamples 250: samples 238..247 count, 248 and 249 do not.
  Window w(50);
  for (int s = 238; s <= 247; ++s) w.set(0, s, 60);
  w.set(0, 238, 65);
  w.set(0, 248, 1000);
  w.set(0, 249, 1000);
  w.set(0, 237, 1000);
  Analysis a(w, 250, kPresetMuCh);
  EXPECT_EQ(a.channelText(0).substr(0, 31), "ichan 0 baseline estimate 60.5\n");
}

TEST(WindowAnalysis, MuchSkipsThePulsesBeforeFirstPeakUsed) {
  Analysis a(Window(50), 201, kPresetMuCh);
  const std::string text = a.channelText(3);
  EXPECT_EQ(text.find("ipeak 0 "), std::string::npos);
  EXPECT_EQ(text.find("ipeak 1 "), std::string::npos);
  EXPECT_NE(text.find("ichan 3 baseline estimate 50.0\nipeak 2 ibin 53 "), std::string::npos);
  EXPECT_EQ(a.hists.peakBins(0, 3).entries(), 1);
  EXPECT_EQ(a.hists.peakBins(1, 3).entries(), 1);
  // Pulses 2..11 and the baseline point at 12 * 14 + 25 + 7 = 200.
  for (const Profile* p : {&a.hists.hPeaks[3], &a.hists.hMax[3]}) {
    EXPECT_EQ(p->entries(), 11);
    EXPECT_EQ(p->binEntries(1), 0);
    EXPECT_EQ(p->binEntries(2), 0);
  }
  EXPECT_NE(text.find("baseBin 200 amp   0\n"), std::string::npos);
}

TEST(WindowAnalysis, MuchBaselinePointNeedsALongEnoughWindow) {
  // First pulse found at 35: the baseline point is at 210.
  for (int n : {210, 211}) {
    Window w(50);
    w.set(0, 35, 400);
    Analysis a(w, n, kPresetMuCh);
    EXPECT_EQ(a.channelText(0).find("baseBin 210 ") != std::string::npos, n == 211) << n;
  }
}

TEST(WindowAnalysis, NegativeAmplitudesAndLargeValues) {
  Window w(100);
  for (int s = 3; s <= 12; ++s) w.set(0, s, 2147483647);
  Analysis a(w, 240, kPresetTPC);
  EXPECT_EQ(a.channelText(0).substr(0, 41), "ichan 0 baseline estimate 2147483647.0\nip");
  EXPECT_NE(a.channelText(0).find("ipeak 0 ibin 40 maxVal 100 amp -2147483547\n"), std::string::npos);
  // An amplitude between -1 and 0 prints as -0, as printf does.
  Window small(0);
  for (int s = 3; s <= 12; ++s) small.set(0, s, s == 3 ? 4 : 0);
  Analysis b(small, 240, kPresetTPC);
  EXPECT_NE(b.channelText(0).find("ipeak 0 ibin 40 maxVal 0 amp  -0\n"), std::string::npos);
}

}  // namespace
}  // namespace calib
