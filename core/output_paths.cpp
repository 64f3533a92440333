#include "core/output_paths.hpp"

namespace calib {

std::string OutputPaths::channelPlot(int ichan) const {
  std::string number = std::to_string(ichan);
  if (number.size() < 2) number.insert(number.begin(), '0');
  return plotDir + "/amp_sig_chip_" + std::to_string(chip) + "_chan_" + number + ".png";
}

std::string OutputPaths::summaryPlot(int par) const {
  return plotDir + "/amp_sig_chip_" + std::to_string(chip) + "_fitpar" + std::to_string(par) + ".png";
}

OutputPaths outputPaths(std::string_view chipString, int chip, std::string_view config, std::string_view adcFile) {
  const std::size_t slash = adcFile.rfind('/');
  const std::string dir = slash == std::string_view::npos ? "." : std::string(adcFile.substr(0, slash));
  OutputPaths paths;
  paths.gainLog = dir + "/gain_kelta" + std::string(chipString) + "_" + std::string(config) + ".log";
  paths.binInfo = paths.gainLog + ".bininfo";
  paths.results = paths.gainLog + ".json";
  paths.plotDir = "png/calib/" + std::to_string(chip) + "/" + std::string(config);
  paths.chip = chip;
  return paths;
}

}  // namespace calib
