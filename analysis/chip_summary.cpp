#include "analysis/chip_summary.hpp"

namespace calib {

PlotContent summaryPlot(const ChannelFits& fits, int chip, int par) {
  PlotContent plot;
  plot.title = "Fit Par " + std::to_string(par) + " : Chip " + std::to_string(chip);
  plot.xTitle = "Chan #";
  plot.yTitle = "Fit Par" + std::to_string(par);
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    if (!fit.fitted()) continue;
    const double value = par == 0 ? fit.line.offset : fit.line.slope;
    const double error = par == 0 ? fit.line.offsetError : fit.line.slopeError;
    plot.points.push_back({static_cast<double>(ichan), value, 0.0, error});
  }
  return plot;
}

std::vector<PlotFile> summaryPlotFiles(const ChannelFits& fits, const OutputPaths& paths) {
  std::vector<PlotFile> files;
  for (int par = 0; par <= 1; ++par) files.push_back({summaryPlot(fits, paths.chip, par), paths.summaryPlot(par)});
  return files;
}

}  // namespace calib
