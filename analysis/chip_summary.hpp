// The chip summary: the fitted offset and gain of every channel against the
// channel number, as two plots.
#pragma once

#include "analysis/gain_fit.hpp"
#include "core/output_paths.hpp"
#include "support/diagnostic.hpp"
#include "support/plot.hpp"

namespace calib {

// The plot of fit parameter par (0 offset, 1 gain) of the fitted channels
// against their channel numbers.
PlotContent summaryPlot(const ChannelFits& fits, int chip, int par);

// Saves the offset plot (fit parameter 0), then the gain plot (parameter
// 1), to paths.summaryPlot. Only fitted channels appear; both plots are
// written even when no channel was fitted. Returns the errors of the plots
// that could not be written.
Diagnostics saveChipSummary(const ChannelFits& fits, const OutputPaths& paths);

}  // namespace calib
