// The gain fit: every channel whose gain curve has pulse points is fitted
// with a straight line, amplitude = offset + slope × charge; the slope in
// mV/fC is the channel's gain. Each fitted gain becomes a row of the gain
// log, and each channel's curve is saved as a plot.
#pragma once

#include <string>
#include <vector>

#include "analysis/gain_curves.hpp"
#include "analysis/run_setup.hpp"
#include "support/diagnostic.hpp"
#include "support/line_fit.hpp"
#include "support/out_buffer.hpp"
#include "support/plot.hpp"

namespace calib {

inline constexpr double kStartSlope = 20.0;  // mV/fC, where the fit starts

struct ChannelGain {
  int ichan;
  LineFit fit;  // fitted
};

// Where the plots go; plots are skipped when the directory is not ready.
struct PlotTarget {
  int chip;
  std::string dir;
  bool ready;
};

// "<dir>/amp_sig_chip_<chip>_chan_<NN>.png"
std::string channelPlotPath(const PlotTarget& target, int ichan);

// The plot of a channel's gain curve: all its points, and the fitted line
// with its box when the fit succeeded.
PlotContent channelPlot(const GainCurve& curve, const LineFit& fit, const DetectorPreset& preset, int chip, int ichan);

// "%2d%7s %5.2f +/- %3.2f\n" with ichan, "", the slope and its error.
void writeGainRow(OutBuffer& gainLog, int ichan, const LineFit& fit);

// Fits channels 0 … 31 in order. Prints " ichan N nOK M" for each; for a
// channel with pulse points writes its gain-log row and its plot. A channel
// whose points do not determine a line (fewer than two in the fit range)
// gets a warning and a plot of its points, but no row. Returns the fitted
// channels in ascending order.
std::vector<ChannelGain> fitGains(const GainCurves& curves, const DetectorPreset& preset, const PlotTarget& plots,
                                  OutBuffer& gainLog, OutBuffer& console, Diagnostics& diagnostics);

}  // namespace calib
