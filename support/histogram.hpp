// One-dimensional histogram and profile with fixed, equal-width bins.
//
// They reproduce the counting rules of the classic HEP histogram classes
// that calibration results have always been computed with, so that every
// number derived from them (counts, means, errors of means) is the same to
// the last bit: bins 1..n are visible, bin 0 is underflow and bin n+1
// overflow; every fill counts as an entry, inside the range or not.
#pragma once

#include <cstddef>
#include <vector>

namespace calib {

// The binning shared by both types.
class Axis {
 public:
  Axis(int nbins, double low, double high)
      : nbins_(nbins), low_(low), high_(high), unitBins_(low == -0.5 && high == nbins - 0.5) {}

  int nbins() const { return nbins_; }
  double low() const { return low_; }
  double high() const { return high_; }

  // 0 below the range, nbins+1 at or above its upper edge and for NaN,
  // otherwise 1 + int(nbins * (x - low) / (high - low)).
  int findBin(double x) const {
    if (x < low_) return 0;
    if (!(x < high_)) return nbins_ + 1;
    return 1 + static_cast<int>(nbins_ * (x - low_) / (high_ - low_));
  }

  // findBin(x) for an integer x, without the division where the bins are
  // the integers 0 … nbins-1 ([-0.5, nbins-0.5)): there x - low = x + 0.5,
  // nbins times it and the quotient by nbins are exact in double, so the
  // formula gives 1 + x for every x inside.
  int findBinOfInteger(int x) const {
    if (!unitBins_) return findBin(x);
    if (x < 0) return 0;
    if (x >= nbins_) return nbins_ + 1;
    return 1 + x;
  }

  // low + (b - 1) * width + width / 2.
  double binCenter(int b) const {
    const double width = (high_ - low_) / nbins_;
    return low_ + (b - 1) * width + 0.5 * width;
  }

 private:
  int nbins_;
  double low_;
  double high_;
  bool unitBins_;
};

class Hist1D {
 public:
  Hist1D(int nbins, double low, double high);

  void fill(double x) {
    entries_ += 1;
    counts_[static_cast<std::size_t>(axis_.findBin(x))] += 1;
  }
  // fill(x) for an integer x, faster.
  void fillInteger(int x) {
    entries_ += 1;
    counts_[static_cast<std::size_t>(axis_.findBinOfInteger(x))] += 1;
  }

  const Axis& axis() const { return axis_; }
  int nbinsX() const { return axis_.nbins(); }
  double entries() const { return entries_; }
  // b in 0 .. nbins+1.
  double binContent(int b) const { return counts_[static_cast<std::size_t>(b)]; }
  double binCenter(int b) const { return axis_.binCenter(b); }

 private:
  Axis axis_;
  double entries_ = 0;
  std::vector<double> counts_;
};

// Per bin: the number of fills N, the sum of y and the sum of y*y, added in
// fill order in double precision. The content of a bin is the mean of its y
// values, its error the error of that mean.
class Profile {
 public:
  Profile(int nbins, double low, double high);

  void fill(double x, double y) { add(axis_.findBin(x), y); }
  // fill(x, y) for an integer x, faster.
  void fillInteger(int x, double y) { add(axis_.findBinOfInteger(x), y); }

  const Axis& axis() const { return axis_; }
  int nbinsX() const { return axis_.nbins(); }
  double entries() const { return entries_; }
  // Sy / N, or 0 for an empty bin.
  double binContent(int b) const;
  // sqrt(|Syy/N - mean*mean|) / sqrt(N), in exactly that order of
  // operations (not sqrt of the quotient), or 0 for an empty bin.
  double binError(int b) const;
  double binEntries(int b) const { return bins_[static_cast<std::size_t>(b)].n; }

 private:
  struct Bin {
    double n = 0;
    double sumY = 0;
    double sumYY = 0;
  };
  void add(int b, double y) {
    entries_ += 1;
    Bin& bin = bins_[static_cast<std::size_t>(b)];
    bin.sumY += y;
    bin.sumYY += y * y;
    bin.n += 1;
  }
  Axis axis_;
  double entries_ = 0;
  std::vector<Bin> bins_;
};

}  // namespace calib
