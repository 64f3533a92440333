// Writes the ADC sample file of a simulated run and records what it wrote.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "support/out_buffer.hpp"
#include "tools/sim/run_model.hpp"
#include "tools/sim/sim_options.hpp"

namespace calib::sim {

struct TrainTruth {
  std::int64_t firstLine;                 // line number (from 1) of the train's first data line
  int zerosBefore;                        // zero lines before it
  int samples;                            // lines the train was planned with
  int linesWritten;                       // lines of it in the file (fewer when cut)
  double firstPeak;                       // time of the first pulse's peak, in samples from firstLine
  std::vector<std::int64_t> glitchLines;  // single zero lines inside the train
  bool truncated;                         // the file ends inside the train
};

struct RunTruth {
  SimOptions options;
  DetectorModel model;
  std::array<ChannelTruth, kNChan> channels;
  std::vector<TrainTruth> trains;
  std::int64_t lines = 0;  // lines in the file, the last one counted even without a line end
};

// Generates the run that options describe into out.
RunTruth writeRun(const SimOptions& options, OutBuffer& out);

}  // namespace calib::sim
