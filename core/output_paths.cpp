#include "core/output_paths.hpp"

#include "support/int_fields.hpp"

namespace calib {

std::string OutputPaths::channelPlot(int ichan) const {
  std::string number = std::to_string(ichan);
  if (number.size() < 2) number.insert(number.begin(), '0');
  return plotDir + "/amp_sig_chip_" + std::to_string(chip) + "_chan_" + number + ".png";
}

std::string OutputPaths::summaryPlot(int par) const {
  return plotDir + "/amp_sig_chip_" + std::to_string(chip) + "_fitpar" + std::to_string(par) + ".png";
}

RunRequest runRequest(std::string chipString, std::string config, std::string adcFile) {
  const int chip = atoiSaturating(chipString);
  return RunRequest{std::move(chipString), chip, std::move(config), std::move(adcFile)};
}

OutputPaths outputPaths(const RunRequest& request, const std::string& outputDir) {
  std::string dir;
  if (!outputDir.empty()) {
    // "out/" and "out" name the same directory; "/" stays the root.
    dir = outputDir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir == "/") dir.clear();
  } else {
    const std::size_t slash = request.adcFile.rfind('/');
    dir = slash == std::string::npos ? "." : request.adcFile.substr(0, slash);
  }
  OutputPaths paths;
  paths.gainLog = dir + "/gain_kelta" + request.chipString + "_" + request.config + ".log";
  paths.binInfo = paths.gainLog + ".bininfo";
  paths.results = paths.gainLog + ".json";
  paths.plotDir = "png/calib/" + std::to_string(request.chip) + "/" + request.config;
  paths.chip = request.chip;
  return paths;
}

}  // namespace calib
