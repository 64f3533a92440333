#include "analysis/window_analysis.hpp"

#include <cassert>
#include <cstdint>

#include "support/format.hpp"

namespace calib {

namespace {

// Room for one channel's commentary: a baseline line, nPeaks pulse lines
// and a baseline-point line, each well under 100 bytes.
constexpr std::size_t kChannelTextBound = 2048;
static_assert(kChannelTextBound <= OutBuffer::kMinCapacity);

}  // namespace

int findPeak(const WindowBuffer& window, int ichan, int centre, int halfWidth) {
  int best = centre;
  int bestValue = window.at(ichan, centre);
  for (int s = centre - halfWidth; s <= centre + halfWidth; ++s) {
    const int v = window.at(ichan, s);
    if (v > bestValue) {
      best = s;
      bestValue = v;
    }
  }
  return best;
}

void analyseWindow(const WindowBuffer& window, int& nsamples, const DetectorPreset& preset, HistogramSet& hists,
                   OutBuffer& console, Commentary commentary) {
  // Every position read below lies inside the window only for these
  // lengths (the MuCh baseline reads from nsamples - 12).
  assert(nsamples > preset.nPeakBins && nsamples <= kMaxSample);
  const bool print = commentary == Commentary::On;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    // TPC: samples kFirstPed..kLastPed at the start of the window. MuCh:
    // nsamples-kLastPed .. nsamples-kFirstPed, before the end of the window.
    // The integer sum is exact; baseline is sum / count as a double.
    PedestalSums::WindowSamples pedestal{};
    std::int64_t pedestalSum = 0;
    for (int k = kFirstPed; k <= kLastPed; ++k) {
      const int v = window.at(ichan, preset.idetConfig == 0 ? k : nsamples - k);
      pedestal[static_cast<std::size_t>(k - kFirstPed)] = v;
      pedestalSum += v;
    }
    hists.pedestals[static_cast<std::size_t>(ichan)].add(pedestal);
    const double baseline = static_cast<double>(pedestalSum) / static_cast<double>(pedestal.size());
    // The count is always ten, so the baseline in tenths is the sum itself;
    // the commentary prints from these exact tenths. (|sum| stays below
    // 2^35, far inside the range where that equals printing the doubles.)
    static_assert(kLastPed - kFirstPed + 1 == 10, "commentary prints the baseline in tenths");
    const std::int64_t baselineTenths = pedestalSum;

    // Without commentary nothing is formatted and p is never used.
    char* p = print ? console.reserve(kChannelTextBound) : nullptr;
    if (print) {
      p = writeText(p, "ichan ");
      p = writeInt(p, ichan);
      p = writeText(p, " baseline estimate ");
      p = writeTenthsFixed1(p, baselineTenths, 3);
      *p++ = '\n';
    }

    const int firstPeakPos = findPeak(window, ichan, preset.firstPeakBin, preset.firstPeakWindow);
    Profile& peaks = hists.hPeaks[static_cast<std::size_t>(ichan)];
    Profile& max = hists.hMax[static_cast<std::size_t>(ichan)];

    for (int ipeak = 0; ipeak < preset.nPeaks; ++ipeak) {
      const int expected = ipeak * kSpacing + firstPeakPos;
      const int ibin = findPeak(window, ichan, expected, kSpacingWindow);
      const int maxVal = window.at(ichan, ibin);
      hists.peakBins(ipeak, ichan).fillInteger(ibin);
      const double amp = static_cast<double>(maxVal) - baseline;
      if (ipeak >= preset.firstPeakUsed) {
        peaks.fillInteger(ipeak, amp);
        max.fillInteger(ipeak, maxVal);
        if (maxVal >= kMaxPeakVal) [[unlikely]]
          ++hists.atLimit(ichan, ipeak);
        if (print) {
          p = writeText(p, "ipeak ");
          p = writeInt(p, ipeak);
          p = writeText(p, " ibin ");
          p = writeInt(p, ibin);
          p = writeText(p, " maxVal ");
          p = writeInt(p, maxVal);
          p = writeText(p, " amp ");
          p = writeTenthsFixed0(p, std::int64_t{maxVal} * 10 - baselineTenths, 3);
          *p++ = '\n';
        }
      }
    }

    const int baseBin = preset.nPeaks * kSpacing + firstPeakPos + kBaseBinOffset;
    if (baseBin < nsamples) {
      const int value = window.at(ichan, baseBin);
      peaks.fillInteger(preset.nPeaks, static_cast<double>(value) - baseline);
      max.fillInteger(preset.nPeaks, value);
      if (print) {
        p = writeText(p, "baseBin ");
        p = writeInt(p, baseBin);
        p = writeText(p, " amp ");
        p = writeTenthsFixed0(p, std::int64_t{value} * 10 - baselineTenths, 3);
        *p++ = '\n';
      }
    }
    if (print) console.commit(p);
  }
  nsamples = 0;
}

}  // namespace calib
