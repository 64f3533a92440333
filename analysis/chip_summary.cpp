#include "analysis/chip_summary.hpp"

#include "support/plot.hpp"

namespace calib {

std::string summaryPlotPath(const PlotTarget& target, int par) {
  return target.dir + "/amp_sig_chip_" + std::to_string(target.chip) + "_fitpar" + std::to_string(par) + ".png";
}

void writeChipSummary(const std::vector<ChannelGain>& gains, const PlotTarget& plots, Diagnostics& diagnostics) {
  if (!plots.ready) return;
  for (int par = 0; par <= 1; ++par) {
    PlotSpec spec;
    spec.title = "Fit Par " + std::to_string(par) + " : Chip " + std::to_string(plots.chip);
    spec.xTitle = "Chan #";
    spec.yTitle = "Fit Par" + std::to_string(par);
    for (const ChannelGain& g : gains) {
      const double value = par == 0 ? g.fit.offset : g.fit.slope;
      const double error = par == 0 ? g.fit.offsetError : g.fit.slopeError;
      spec.points.push_back({static_cast<double>(g.ichan), value, 0.0, error});
    }
    const std::string message = savePlot(spec, summaryPlotPath(plots, par));
    if (!message.empty()) diagnostics.push_back(Diagnostic::error(message));
  }
}

}  // namespace calib
