#include "analysis/gain_fit.hpp"

#include <array>

#include "support/format.hpp"
#include "support/plot.hpp"

namespace calib {

std::string channelPlotPath(const PlotTarget& target, int ichan) {
  char nn[kMaxNumberChars + 2];
  const std::string number(nn, writeInt(nn, ichan, 2, '0'));
  return target.dir + "/amp_sig_chip_" + std::to_string(target.chip) + "_chan_" + number + ".png";
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

namespace {

void printPointCount(OutBuffer& console, int ichan, int nOK) {
  char* p = console.reserve(64);
  p = writeText(p, " ichan ");
  p = writeInt(p, ichan);
  p = writeText(p, " nOK ");
  p = writeInt(p, nOK);
  p = writeText(p, "\n");
  console.commit(p);
}

std::string rangeText(const DetectorPreset& preset) {
  return "[" + std::to_string(preset.fitMin) + ", " + std::to_string(preset.fitMax) + "] fC";
}

}  // namespace

PlotContent channelPlot(const GainCurve& curve, const LineFit& fit, const DetectorPreset& preset, int chip, int ichan) {
  PlotContent plot;
  plot.title = "Amplitude vs Sig for chip " + std::to_string(chip) + " chan " + std::to_string(ichan);
  plot.xTitle = "signal (fC)";
  plot.yTitle = kScaleFactorADC > 2.0 ? "amplitude (mV)" : "amplitude (ADC)";
  // Every point of the graph is drawn, the unset ones at the origin too.
  for (const GainPoint& p : curve.points) plot.points.push_back({p.x, p.y, p.ex, p.ey});
  if (fit.fitted)
    plot.fit = FitOverlay{fit.offset,   fit.offsetError, fit.slope, fit.slopeError, static_cast<double>(preset.fitMin),
                          static_cast<double>(preset.fitMax), true};
  return plot;
}

std::vector<ChannelGain> fitGains(const GainCurves& curves, const DetectorPreset& preset, const PlotTarget& plots,
                                  OutBuffer& gainLog, OutBuffer& console, Diagnostics& diagnostics) {
  std::vector<ChannelGain> gains;
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const GainCurve& curve = curves[ichan];
    printPointCount(console, ichan, curve.nOK);
    if (curve.nOK <= 1) continue;

    std::array<FitPoint, kNSteps + 2> points{};
    const std::size_t n = std::min(curve.points.size(), points.size());
    for (std::size_t i = 0; i < n; ++i) {
      const GainPoint& p = curve.points[i];
      points[i] = FitPoint{p.x, p.y, p.ex, p.ey};
    }
    const LineFit fit = fitLine(std::span<const FitPoint>(points.data(), n), preset.fitMin, preset.fitMax, kStartSlope);
    if (fit.fitted) {
      writeGainRow(gainLog, ichan, fit);
      gains.push_back({ichan, fit});
    } else if (fit.points < 2) {
      diagnostics.push_back(Diagnostic::warning("channel " + std::to_string(ichan) + " has " +
                                                std::to_string(fit.points) + " gain-curve point" +
                                                (fit.points == 1 ? "" : "s") + " in the fit range " +
                                                rangeText(preset) + ", too few to fit its gain; it has no gain-log row"));
    } else {
      diagnostics.push_back(Diagnostic::warning("the gain fit of channel " + std::to_string(ichan) +
                                                " found no line through its points; it has no gain-log row"));
    }
    if (plots.ready) {
      const std::string message = savePlot(channelPlot(curve, fit, preset, plots.chip, ichan), channelPlotPath(plots, ichan));
      if (!message.empty()) diagnostics.push_back(Diagnostic::error(message));
    }
  }
  return gains;
}

}  // namespace calib
