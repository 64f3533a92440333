// The truth of a simulated run as JSON: the run parameters, each channel's
// baseline, noise, gain and pulse heights, and where each train lies in
// the file.
#pragma once

#include "support/out_buffer.hpp"
#include "tools/sim/run_writer.hpp"

namespace calib::sim {

void writeTruthJson(const RunTruth& run, OutBuffer& out);

}  // namespace calib::sim
