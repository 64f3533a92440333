// The bin-information report: how often each zero-run length occurred, and
// where each pulse's peak was found, per pulse and channel of one parity.
#pragma once

#include "core/histogram_set.hpp"
#include "support/out_buffer.hpp"

namespace calib {

// Writes the whole report to file, for pulses 0 .. hists.nPeaks - 1 and the
// channels with ichan % 2 == imodulus. Counts and bin centres are whole
// numbers held as doubles and are printed truncated to int.
void writeBinInfo(OutBuffer& file, const HistogramSet& hists, int imodulus);

}  // namespace calib
