// The chip summary: the fitted offset and gain of every channel against the
// channel number, as two plots.
#pragma once

#include "analysis/gain_fit.hpp"
#include "core/output_paths.hpp"
#include <vector>

#include "support/plot.hpp"

namespace calib {

// The plot of fit parameter par (0 offset, 1 gain) of the fitted channels
// against their channel numbers.
PlotContent summaryPlot(const ChannelFits& fits, int chip, int par);

// The offset plot (fit parameter 0), then the gain plot (parameter 1), for
// paths.summaryPlot. Only fitted channels appear; both plots are made even
// when no channel was fitted.
std::vector<PlotFile> summaryPlotFiles(const ChannelFits& fits, const OutputPaths& paths);

}  // namespace calib
