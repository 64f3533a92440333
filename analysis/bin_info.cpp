#include "analysis/bin_info.hpp"

#include <climits>
#include <cmath>

#include "support/format.hpp"

namespace calib {

namespace {

constexpr std::size_t kRowBound = 64;

// C's double-to-int truncation, saturated where C's would be undefined.
int truncateToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0) return INT_MAX;
  if (v <= -2147483649.0) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

void writeBinInfo(OutBuffer& file, const HistogramSet& hists, int imodulus) {
  file.put("NZeros:\nnz  fill\n");
  const Hist1D& zeros = hists.hZeroBins;
  if (zeros.entries() > 0) {
    for (int b = 1; b <= zeros.nbinsX(); ++b) {
      if (!(zeros.binContent(b) > 0)) continue;
      char* p = file.reserve(kRowBound);
      p = writeInt(p, truncateToInt(zeros.binCenter(b)), 2, '0');
      *p++ = ' ';
      p = writeInt(p, truncateToInt(zeros.binContent(b)), 4, ' ');
      *p++ = '\n';
      file.commit(p);
    }
  }

  file.put("\nPeak Position Statistics:\nOnly channels with mod2=");
  file.put(std::to_string(imodulus));
  file.put(" selected\nip ch pos fill\n");
  for (int ipeak = 0; ipeak < hists.nPeaks; ++ipeak) {
    for (int ichan = 0; ichan < kNChan; ++ichan) {
      if (ichan % 2 != imodulus) continue;
      const Hist1D& h = hists.peakBins(ipeak, ichan);
      if (!(h.entries() > 0)) continue;
      for (int b = 1; b <= h.nbinsX(); ++b) {
        if (!(h.binContent(b) > 0)) continue;
        char* p = file.reserve(kRowBound);
        p = writeInt(p, ipeak, 2, '0');
        *p++ = ' ';
        p = writeInt(p, ichan, 2, '0');
        *p++ = ' ';
        p = writeInt(p, truncateToInt(h.binCenter(b)), 3, ' ');
        *p++ = ' ';
        p = writeInt(p, truncateToInt(h.binContent(b)), 4, ' ');
        *p++ = '\n';
        file.commit(p);
      }
    }
  }
}

}  // namespace calib
