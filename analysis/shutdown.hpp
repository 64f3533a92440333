// The end of a run: the output files are put in place, the gain log first,
// then the bin-information file.
#pragma once

#include "analysis/run_setup.hpp"
#include "support/diagnostic.hpp"

namespace calib {

// Commits the gain log, then the bin-information file; a failure of either
// is added to diagnostics and the other is still attempted.
void shutDown(RunSetup& run, Diagnostics& diagnostics);

}  // namespace calib
