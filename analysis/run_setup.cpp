#include "analysis/run_setup.hpp"

#include <cmath>
#include <filesystem>
#include <limits>

namespace calib {

namespace {

// The gain-log header, "%9s %13s\n" of "Channel #" and " Calib (mV/fC)":
// the second text is 14 characters and overfills its field, so the line
// has two blanks between the words.
constexpr std::string_view kGainLogHeader = "Channel #  Calib (mV/fC)\n";

// Prints one set-up line; each ends with a flush, so a person watching sees
// the set-up at once.
void printSetupLine(OutBuffer& console, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts) console.put(part);
  console.put("\n");
  console.flush();
}

}  // namespace

DetectorPreset selectPreset(std::string_view config) {
  return config.find("4mV") != std::string_view::npos ? kPresetMuCh : kPresetTPC;
}

int channelParity(std::string_view config) { return config.find("odd") != std::string_view::npos ? 1 : 0; }

std::string plotDirectory(int chip, std::string_view config) {
  return "png/calib/" + std::to_string(chip) + "/" + std::string(config);
}

double PedestalSums::baseline() const {
  return samples > 0 ? sum / static_cast<double>(samples) : std::numeric_limits<double>::quiet_NaN();
}

double PedestalSums::noise() const {
  const std::int64_t degreesOfFreedom = samples - windows;
  if (degreesOfFreedom <= 0) return std::numeric_limits<double>::quiet_NaN();
  return std::sqrt(sumSquaredDeviations / static_cast<double>(degreesOfFreedom));
}

std::string resultsPath(std::string_view logFile) { return std::string(logFile) + ".json"; }

HistogramSet bookHistograms(const DetectorPreset& preset) {
  HistogramSet set{preset.nPeaks, {}, Hist1D("hZeroBins", "hZeroBins", 20, -0.5, 19.5), {}, {}};
  set.hPeakBins.reserve(static_cast<std::size_t>(preset.nPeaks * kNChan));
  for (int ipeak = 0; ipeak < preset.nPeaks; ++ipeak) {
    for (int ichan = 0; ichan < kNChan; ++ichan) {
      const std::string p = std::to_string(ipeak);
      const std::string c = std::to_string(ichan);
      set.hPeakBins.emplace_back("hPeakBins" + p + "_" + c, "Peak " + p + " Bins - Chan " + c, preset.nPeakBins, -0.5,
                                 preset.nPeakBins - 0.5);
    }
  }
  set.hPeaks.reserve(kNChan);
  set.hMax.reserve(kNChan);
  for (int ichan = 0; ichan < kNChan; ++ichan) {
    const std::string c = std::to_string(ichan);
    set.hPeaks.emplace_back("hPeaks_" + c, "Peaks - Chan " + c, preset.nPeaks + 1, -0.5, preset.nPeaks + 0.5);
    set.hMax.emplace_back("hMax_" + c, "Max - Chan " + c, preset.nPeaks + 1, -0.5, preset.nPeaks + 0.5);
  }
  return set;
}

std::optional<RunSetup> setUpRun(const RunArgs& args, OutBuffer& console, Diagnostics& diagnostics) {
  const auto fail = [&](std::string message) {
    diagnostics.push_back(Diagnostic::error(std::move(message)));
    return std::nullopt;
  };
  std::error_code ec;
  std::optional<InputFile> adc = InputFile::open(args.adcFile, ec);
  if (!adc) return fail("cannot open ADC file '" + args.adcFile + "': " + ec.message());

  std::optional<OutputFile> gainLog = OutputFile::create(args.logFile, ec);
  if (!gainLog) return fail("cannot create gain log '" + args.logFile + "': " + ec.message());
  gainLog->out().put(kGainLogHeader);

  const std::string binInfoPath = args.logFile + ".bininfo";
  std::optional<OutputFile> binInfo = OutputFile::create(binInfoPath, ec);
  if (!binInfo) return fail("cannot create bin-information file '" + binInfoPath + "': " + ec.message());

  std::optional<OutputFile> results;
  if (args.writeJson) {
    const std::string path = resultsPath(args.logFile);
    results = OutputFile::create(path, ec);
    if (!results) return fail("cannot create results file '" + path + "': " + ec.message());
  }

  // The directory is made without a shell, so any configuration text is
  // safe in it; the line printed is the command this step has always been
  // described by.
  std::string plotDir = plotDirectory(args.chip, args.config);
  std::filesystem::create_directories(plotDir, ec);
  const bool plotDirReady = !ec;
  if (!plotDirReady) {
    diagnostics.push_back(Diagnostic::error("cannot create plot directory '" + plotDir + "': " + ec.message() +
                                            "; no plots will be written"));
  }
  printSetupLine(console, {" executing command .! mkdir -p ", plotDir});

  const DetectorPreset preset = selectPreset(args.config);
  printSetupLine(console, {" idetConfig = ", std::to_string(preset.idetConfig), " ",
                           kDetectorNames[static_cast<std::size_t>(preset.idetConfig)]});

  const int imodulus = channelParity(args.config);
  printSetupLine(console, {" imodulus = ", std::to_string(imodulus)});

  printSetupLine(console, {" reading file ", args.adcFile});
  printSetupLine(console, {" writing file ", args.logFile});

  return RunSetup{preset,
                  imodulus,
                  PlotStyle{},
                  std::move(plotDir),
                  plotDirReady,
                  std::move(*gainLog),
                  std::move(*binInfo),
                  std::move(results),
                  std::move(*adc),
                  bookHistograms(preset)};
}

}  // namespace calib
