#include "analysis/gain_curves.hpp"

#include "support/format.hpp"

namespace calib {

DataPoint pulsePoint(const Profile& peaks, const DetectorPreset& preset, int ipeak) {
  DataPoint point;
  point.x = pulseCharge(preset, ipeak);
  point.y = kScaleFactorADC * peaks.binContent(ipeak + 1);
  point.ex = kPrecisionfC;
  // The precision is added in ADC counts, before scaling to mV.
  point.ey = (kPrecisionfC + peaks.binError(ipeak + 1)) * kScaleFactorADC;
  return point;
}

bool pulseSaturated(const Profile& max, int ipeak) { return !(max.binContent(ipeak + 1) < kMaxPeakVal); }

namespace {

// " ichan N : E values found", E as a stream writes a double.
void printEntries(OutBuffer& console, int ichan, double entries) {
  char* p = console.reserve(64);
  p = writeText(p, " ichan ");
  p = writeInt(p, ichan);
  p = writeText(p, " : ");
  p = writeStreamDefault(p, entries);
  p = writeText(p, " values found\n");
  console.commit(p);
}

// "ichan %d ipeak %d fC_estimate %4.1f amp %4.1f rms %4.1f\n"
void printPoint(OutBuffer& console, int ichan, int ipeak, const DataPoint& point) {
  char* p = console.reserve(96 + 3 * kMaxFixedChars(1));
  p = writeText(p, "ichan ");
  p = writeInt(p, ichan);
  p = writeText(p, " ipeak ");
  p = writeInt(p, ipeak);
  p = writeText(p, " fC_estimate ");
  p = writeFixed(p, point.x, 4, 1);
  p = writeText(p, " amp ");
  p = writeFixed(p, point.y, 4, 1);
  p = writeText(p, " rms ");
  p = writeFixed(p, point.ey, 4, 1);
  p = writeText(p, "\n");
  console.commit(p);
}

}  // namespace

GainCurves buildGainCurves(const HistogramSet& hists, const DetectorPreset& preset, OutBuffer& console) {
  GainCurves curves;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    GainCurve& curve = curves[ichan];
    curve.points.assign(static_cast<std::size_t>(preset.nPeaks) + 2, DataPoint{});
    const Profile& peaks = hists.hPeaks[ichan];
    const Profile& max = hists.hMax[ichan];
    printEntries(console, ichan, peaks.entries());
    if (!(peaks.entries() > 1)) continue;

    curve.points[curve.nOK++] = DataPoint{0, 0, kPrecisionfC, kPrecisionfC};
    for (int ipeak = preset.nPeaks - 1; ipeak >= 0; --ipeak) {
      if (pulseSaturated(max, ipeak)) continue;
      const DataPoint point = pulsePoint(peaks, preset, ipeak);
      printPoint(console, ichan, ipeak, point);
      curve.points[curve.nOK++] = point;
    }
  }
  return curves;
}

}  // namespace calib
