// The end of a run: the output files are put in place, the gain log first,
// then the bin-information file, then the JSON results.
#pragma once

#include "analysis/run_setup.hpp"
#include "support/diagnostic.hpp"

namespace calib {

// Finishes the output files and, only when all are complete on disk,
// renames them into place, the gain log first. A failure is added to
// diagnostics; after a failure to finish any file, none replaces what its
// final path held, so they never come from different runs. Without JSON
// results, an earlier run's results file beside the new gain log is
// removed once the new files are in place.
void shutDown(RunSetup& run, Diagnostics& diagnostics);

}  // namespace calib
