#include "analysis/shutdown.hpp"

#include <unistd.h>

#include <cerrno>
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
  bool published = true;
  for (const NamedOutput& o : outputs) published &= report(o.file.publish(), o, diagnostics);
  if (published && run.staleResults && ::unlink(run.staleResults->c_str()) != 0 && errno != ENOENT) {
    const std::error_code reason(errno, std::generic_category());
    diagnostics.push_back(Diagnostic::error("cannot remove the results file of an earlier run '" +
                                            *run.staleResults + "': " + reason.message()));
  }
}

}  // namespace calib
