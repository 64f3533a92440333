// Run set-up: the opening phase of a run. It opens the ADC file, creates
// the outputs, makes the plot directory, selects the detector preset and
// the channel parity and books the histograms.
#pragma once

#include <optional>
#include <string>

#include "core/detector.hpp"
#include "core/histogram_set.hpp"
#include "core/output_paths.hpp"
#include "support/diagnostic.hpp"
#include "support/input_file.hpp"
#include "support/out_buffer.hpp"
#include "support/output_file.hpp"

namespace calib {

// Everything set-up hands to the later phases.
struct RunSetup {
  DetectorPreset preset;
  int imodulus;
  bool plotDirReady;  // false when the directory could not be created
  OutputFile gainLog;
  OutputFile binInfo;
  std::optional<OutputFile> results;  // the JSON results, unless turned off
  // Without JSON results: the path of an earlier run's, removed when the
  // new gain log is in place (it would describe another run).
  std::optional<std::string> staleResults;
  InputFile adc;
  HistogramSet hists;
};

// Opens the request's ADC file, creates the gain log (with its header), the
// bin-information file and, with writeJson, the JSON results, creates the
// plot directory, selects the preset and parity from the configuration and
// books the histograms, printing the set-up lines to console.
//
// The ADC file is opened before anything is created, so an unreadable input
// leaves no output behind; an output that cannot be created stops the run
// too. Either way the reason is added to diagnostics and nothing is
// returned. A plot directory that cannot be created is recorded as an error
// as well, but the run goes on without plots. A chip string that is not a
// number is a warning that names the plot directory its plots go to.
std::optional<RunSetup> setUpRun(const RunRequest& request, const OutputPaths& paths, bool writeJson,
                                 OutBuffer& console, Diagnostics& diagnostics);

}  // namespace calib
