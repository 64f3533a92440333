// The chip summary: the fitted offset and gain of every channel against the
// channel number, as two plots.
#pragma once

#include <string>
#include <vector>

#include "analysis/gain_fit.hpp"
#include "support/diagnostic.hpp"

namespace calib {

// "<dir>/amp_sig_chip_<chip>_fitpar<par>.png"
std::string summaryPlotPath(const PlotTarget& target, int par);

// The plot of fit parameter par (0 offset, 1 gain) of the fitted channels
// against their channel numbers.
PlotContent summaryPlot(const std::vector<ChannelGain>& gains, int chip, int par);

// Saves the offset plot (fit parameter 0), then the gain plot (parameter
// 1). Only fitted channels appear; both plots are written even when no
// channel was fitted.
void writeChipSummary(const std::vector<ChannelGain>& gains, const PlotTarget& plots, Diagnostics& diagnostics);

}  // namespace calib
