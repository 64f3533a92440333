// Gain curves: for every channel, the pulse amplitude in mV against the
// injected charge in fC, built from the profiles the window analysis
// filled, with an anchor point at the origin and one point per pulse that
// is not saturated.
#pragma once

#include <array>
#include <vector>

#include "core/detector.hpp"
#include "core/histogram_set.hpp"
#include "support/data_point.hpp"
#include "support/out_buffer.hpp"

namespace calib {

// A channel's gain curve: points of charge x (fC) and amplitude y (mV),
// with their errors.
struct GainCurve {
  // nPeaks + 2 points; the first nOK are set, in ascending charge (the
  // origin first, then pulses nPeaks - 1 down to 0); the rest stay at the
  // origin with zero errors.
  std::vector<DataPoint> points;
  // Points set, the origin included: 0 when the channel had too few
  // entries, 1 when every pulse was saturated.
  int nOK = 0;
};

using GainCurves = std::array<GainCurve, kNChan>;

// The measurement of pulse ipeak of a channel: its charge, mean amplitude
// in mV and their errors. Bin ipeak + 1 of the profiles holds pulse ipeak.
DataPoint pulsePoint(const Profile& peaks, const DetectorPreset& preset, int ipeak);

// A pulse whose mean raw peak reaches kMaxPeakVal is saturated and left
// off the gain curve.
bool pulseSaturated(const Profile& max, int ipeak);

// Builds the curves of all channels and prints, per channel,
// " ichan N : E values found" and one "ichan ... fC_estimate ..." line per
// point after the origin.
GainCurves buildGainCurves(const HistogramSet& hists, const DetectorPreset& preset, OutBuffer& console);

}  // namespace calib
