// What a run analyses, and where its outputs go. Every output path is
// derived here and nowhere else.
//
//   <dir>/gain_kelta<chipstring>_<config>.log   the gain log, <dir> being the
//                                              ADC file's directory or the
//                                              one asked for
//   <gain log>.bininfo                         the bin-information file
//   <gain log>.json                            the JSON results
//   png/calib/<chip>/<config>/                 the plots, below the working
//                                              directory (chip as a number)
#pragma once

#include <string>

namespace calib {

// What to analyse, as the command line gives it.
struct RunRequest {
  std::string chipString;  // as typed: names the gain log
  int chip = 0;            // its number as atoi reads it: names the plots
  std::string config;      // selects the preset and the parity
  std::string adcFile;
};

// The request for chipString, config and adcFile; the chip number is
// derived from the chip string.
RunRequest runRequest(std::string chipString, std::string config, std::string adcFile);

struct OutputPaths {
  std::string gainLog;
  std::string binInfo;
  std::string results;
  std::string plotDir;
  int chip = 0;  // the chip number the plot names carry

  // "<plotDir>/amp_sig_chip_<chip>_chan_<NN>.png", NN with two digits.
  std::string channelPlot(int ichan) const;
  // "<plotDir>/amp_sig_chip_<chip>_fitpar<par>.png", par 0 (offset) or 1 (gain).
  std::string summaryPlot(int par) const;
};

// The paths of a request's outputs. The gain log lies in outputDir when it
// is given, else in the ADC file's directory: the text before its last "/",
// or "." when the path has none.
OutputPaths outputPaths(const RunRequest& request, const std::string& outputDir = "");

}  // namespace calib
