#include "support/histogram.hpp"

#include <cmath>

namespace calib {

Hist1D::Hist1D(int nbins, double low, double high)
    : axis_(nbins, low, high), counts_(static_cast<std::size_t>(nbins) + 2, 0.0) {}

Profile::Profile(int nbins, double low, double high)
    : axis_(nbins, low, high), bins_(static_cast<std::size_t>(nbins) + 2) {}

double Profile::binContent(int b) const {
  const Bin& bin = bins_[static_cast<std::size_t>(b)];
  if (bin.n == 0) return 0;
  return bin.sumY / bin.n;
}

double Profile::binError(int b) const {
  const Bin& bin = bins_[static_cast<std::size_t>(b)];
  if (bin.n == 0) return 0;
  const double mean = bin.sumY / bin.n;
  const double spread2 = std::fabs(bin.sumYY / bin.n - mean * mean);
  return std::sqrt(spread2) / std::sqrt(bin.n);
}

}  // namespace calib
