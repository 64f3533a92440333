#include "analysis/shutdown.hpp"

#include <vector>

namespace calib {

namespace {

struct NamedOutput {
  OutputFile& file;
  const char* what;
};

bool report(const std::error_code& ec, const NamedOutput& output, Diagnostics& diagnostics) {
  if (!ec) return true;
  diagnostics.push_back(
      Diagnostic::error("cannot write " + std::string(output.what) + " '" + output.file.path() + "': " + ec.message()));
  return false;
}

}  // namespace

void shutDown(RunSetup& run, Diagnostics& diagnostics) {
  std::vector<NamedOutput> outputs = {{run.gainLog, "gain log"}, {run.binInfo, "bin-information file"}};
  if (run.results) outputs.push_back({*run.results, "results file"});
  bool complete = true;
  for (const NamedOutput& o : outputs) complete &= report(o.file.finish(), o, diagnostics);
  if (!complete) return;  // the unpublished temporaries are removed with their files
  for (const NamedOutput& o : outputs) report(o.file.publish(), o, diagnostics);
}

}  // namespace calib
