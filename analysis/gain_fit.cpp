#include "analysis/gain_fit.hpp"

#include "support/format.hpp"

namespace calib {

ChannelFits fitGains(const GainCurves& curves, const DetectorPreset& preset) {
  ChannelFits fits;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const GainCurve& curve = curves[static_cast<std::size_t>(ichan)];
    if (curve.nOK <= 1) continue;
    ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    fit.attempted = true;
    fit.line = fitLine(curve.points, preset.fitMin, preset.fitMax, kStartSlope);
  }
  return fits;
}

void printPointCounts(const GainCurves& curves, OutBuffer& console) {
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    char* p = console.reserve(64);
    p = writeText(p, " ichan ");
    p = writeInt(p, ichan);
    p = writeText(p, " nOK ");
    p = writeInt(p, curves[static_cast<std::size_t>(ichan)].nOK);
    p = writeText(p, "\n");
    console.commit(p);
  }
}

void writeGainRow(OutBuffer& gainLog, int ichan, const LineFit& fit) {
  char* p = gainLog.reserve(64 + kMaxFixedChars(2) * 2);
  p = writeInt(p, ichan, 2, ' ');
  p = writeText(p, "        ");  // an empty text in a field of seven, then a blank
  p = writeFixed(p, fit.slope, 5, 2);
  p = writeText(p, " +/- ");
  p = writeFixed(p, fit.slopeError, 3, 2);
  p = writeText(p, "\n");
  gainLog.commit(p);
}

void writeGainRows(const ChannelFits& fits, OutBuffer& gainLog) {
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    if (fit.fitted()) writeGainRow(gainLog, ichan, fit.line);
  }
}

ChannelDiagnostics fitWarnings(const ChannelFits& fits, const DetectorPreset& preset) {
  ChannelDiagnostics warnings;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    if (!fit.attempted || fit.fitted()) continue;
    const std::string channel = std::to_string(ichan);
    const int points = fit.line.points;
    if (points < 2) {
      warnings[static_cast<std::size_t>(ichan)] = Diagnostic::warning(
          "channel " + channel + " has " + std::to_string(points) + " gain-curve point" + (points == 1 ? "" : "s") +
          " in the fit range [" + std::to_string(preset.fitMin) + ", " + std::to_string(preset.fitMax) +
          "] fC, too few to fit its gain; it has no gain-log row");
    } else {
      warnings[static_cast<std::size_t>(ichan)] = Diagnostic::warning(
          "the gain fit of channel " + channel + " found no line through its points; it has no gain-log row");
    }
  }
  return warnings;
}

PlotContent channelPlot(const GainCurve& curve, const LineFit& fit, const DetectorPreset& preset, int chip, int ichan) {
  PlotContent plot;
  plot.title = "Amplitude vs Sig for chip " + std::to_string(chip) + " chan " + std::to_string(ichan);
  plot.xTitle = "signal (fC)";
  plot.yTitle = "amplitude (mV)";
  // Every point of the graph is drawn, the unset ones at the origin too.
  plot.points = curve.points;
  if (fit.fitted)
    plot.fit = FitOverlay{fit.offset,   fit.offsetError, fit.slope, fit.slopeError, static_cast<double>(preset.fitMin),
                          static_cast<double>(preset.fitMax), true};
  return plot;
}

std::vector<PlotFile> channelPlotFiles(const GainCurves& curves, const ChannelFits& fits, const DetectorPreset& preset,
                                       const OutputPaths& paths) {
  std::vector<PlotFile> files;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const ChannelFit& fit = fits[static_cast<std::size_t>(ichan)];
    if (!fit.attempted) continue;
    files.push_back({channelPlot(curves[static_cast<std::size_t>(ichan)], fit.line, preset, paths.chip, ichan),
                     paths.channelPlot(ichan)});
  }
  return files;
}

Diagnostic plotError(const std::string& path, const std::error_code& reason) {
  return Diagnostic::error("cannot write plot '" + path + "': " + reason.message());
}

}  // namespace calib
