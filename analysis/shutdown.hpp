// The end of a run: the output files are put in place, the gain log first,
// then the bin-information file.
#pragma once

#include "analysis/run_setup.hpp"
#include "support/diagnostic.hpp"

namespace calib {

// Finishes both output files and, only when both are complete on disk,
// renames them into place, the gain log first. A failure is added to
// diagnostics; after a failure to finish either file, neither replaces
// what its final path held, so the two never come from different runs.
void shutDown(RunSetup& run, Diagnostics& diagnostics);

}  // namespace calib
