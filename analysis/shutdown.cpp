#include "analysis/shutdown.hpp"

namespace calib {

namespace {

void commitOutput(OutputFile& file, const char* what, Diagnostics& diagnostics) {
  if (const std::error_code ec = file.commit()) {
    diagnostics.push_back(error("cannot write " + std::string(what) + " '" + file.path() + "': " + ec.message()));
  }
}

}  // namespace

void shutDown(RunSetup& run, Diagnostics& diagnostics) {
  commitOutput(run.gainLog, "gain log", diagnostics);
  commitOutput(run.binInfo, "bin-information file", diagnostics);
}

}  // namespace calib
