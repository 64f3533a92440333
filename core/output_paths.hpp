// Where a run's outputs go. Every output path is derived here and nowhere
// else.
//
//   <dir>/gain_kelta<chipstring>_<config>.log   the gain log, <dir> being the
//                                              ADC file's directory
//   <gain log>.bininfo                         the bin-information file
//   <gain log>.json                            the JSON results
//   png/calib/<chip>/<config>/                 the plots, below the working
//                                              directory (chip as a number)
#pragma once

#include <string>
#include <string_view>

namespace calib {

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

// The paths of a run on chipString (as typed; chip is its number) and
// config, reading adcFile. The gain log lies in the ADC file's directory:
// the text before its last "/", or "." when the path has none.
OutputPaths outputPaths(std::string_view chipString, int chip, std::string_view config, std::string_view adcFile);

}  // namespace calib
