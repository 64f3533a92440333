#include "core/histogram_set.hpp"

#include <cmath>
#include <limits>

namespace calib {

double PedestalSums::baseline() const {
  return samples > 0 ? sum / static_cast<double>(samples) : std::numeric_limits<double>::quiet_NaN();
}

double PedestalSums::noise() const {
  const std::int64_t degreesOfFreedom = samples - windows;
  if (degreesOfFreedom <= 0) return std::numeric_limits<double>::quiet_NaN();
  return std::sqrt(sumSquaredDeviations / static_cast<double>(degreesOfFreedom));
}

HistogramSet bookHistograms(const DetectorPreset& preset) {
  HistogramSet set{preset.nPeaks, {}, Hist1D(20, -0.5, 19.5), {}, {}};
  set.hPeakBins.assign(static_cast<std::size_t>(preset.nPeaks * kNChan),
                       Hist1D(preset.nPeakBins, -0.5, preset.nPeakBins - 0.5));
  set.hPeaks.assign(kNChan, Profile(preset.nPeaks + 1, -0.5, preset.nPeaks + 0.5));
  set.hMax.assign(kNChan, Profile(preset.nPeaks + 1, -0.5, preset.nPeaks + 0.5));
  set.windowsAtLimit.assign(static_cast<std::size_t>(kNChan * preset.nPeaks), 0);
  return set;
}

}  // namespace calib
