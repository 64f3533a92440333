// The analysis of one calibration run as a library call: the phases in
// order, from the ADC file to the gain log, the bin-information file, the
// JSON results and the plots.
#pragma once

#include "core/commentary.hpp"
#include "core/output_paths.hpp"
#include "support/byte_sink.hpp"
#include "support/diagnostic.hpp"
#include "support/out_buffer.hpp"

namespace calib {

// What the options change in a run.
struct AnalysisOptions {
  bool writeJson = true;
  Commentary commentary = Commentary::On;
  // Records the SHA-256 of the ADC file's bytes in the JSON results.
  bool sha256 = false;
  // When set, a progress line is drawn to it while the ADC file is read.
  ByteSink progress;
};

// Runs the whole analysis of request, writing the outputs to paths and the
// commentary to console. Returns what went wrong, in the order the run met
// it; the outputs are complete when no error is among it.
Diagnostics analyse_file(const RunRequest& request, const OutputPaths& paths, OutBuffer& console,
                         const AnalysisOptions& options = {});

}  // namespace calib
