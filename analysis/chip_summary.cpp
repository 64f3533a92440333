#include "analysis/chip_summary.hpp"

#include "support/plot.hpp"

namespace calib {

std::string summaryPlotPath(const PlotTarget& target, int par) {
  return target.dir + "/amp_sig_chip_" + std::to_string(target.chip) + "_fitpar" + std::to_string(par) + ".png";
}

PlotContent summaryPlot(const std::vector<ChannelGain>& gains, int chip, int par) {
  PlotContent plot;
  plot.title = "Fit Par " + std::to_string(par) + " : Chip " + std::to_string(chip);
  plot.xTitle = "Chan #";
  plot.yTitle = "Fit Par" + std::to_string(par);
  for (const ChannelGain& g : gains) {
    const double value = par == 0 ? g.fit.offset : g.fit.slope;
    const double error = par == 0 ? g.fit.offsetError : g.fit.slopeError;
    plot.points.push_back({static_cast<double>(g.ichan), value, 0.0, error});
  }
  return plot;
}

void writeChipSummary(const std::vector<ChannelGain>& gains, const PlotTarget& plots, Diagnostics& diagnostics) {
  if (!plots.ready) return;
  for (int par = 0; par <= 1; ++par) {
    const PlotContent plot = summaryPlot(gains, plots.chip, par);
    const std::string message = savePlot(plot, summaryPlotPath(plots, par));
    if (!message.empty()) diagnostics.push_back(Diagnostic::error(message));
  }
}

}  // namespace calib
