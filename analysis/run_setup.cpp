#include "analysis/run_setup.hpp"

#include <filesystem>
#include <initializer_list>

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

std::optional<RunSetup> setUpRun(std::string_view config, const std::string& adcFile, const OutputPaths& paths,
                                 bool writeJson, OutBuffer& console, Diagnostics& diagnostics) {
  const auto fail = [&](std::string message) {
    diagnostics.push_back(Diagnostic::error(std::move(message)));
    return std::nullopt;
  };
  std::error_code ec;
  std::optional<InputFile> adc = InputFile::open(adcFile, ec);
  if (!adc) return fail("cannot open ADC file '" + adcFile + "': " + ec.message());

  std::optional<OutputFile> gainLog = OutputFile::create(paths.gainLog, ec);
  if (!gainLog) return fail("cannot create gain log '" + paths.gainLog + "': " + ec.message());
  gainLog->out().put(kGainLogHeader);

  std::optional<OutputFile> binInfo = OutputFile::create(paths.binInfo, ec);
  if (!binInfo) return fail("cannot create bin-information file '" + paths.binInfo + "': " + ec.message());

  std::optional<OutputFile> results;
  if (writeJson) {
    results = OutputFile::create(paths.results, ec);
    if (!results) return fail("cannot create results file '" + paths.results + "': " + ec.message());
  }

  // The directory is made without a shell, so any configuration text is
  // safe in it; the line printed is the command this step has always been
  // described by.
  std::filesystem::create_directories(paths.plotDir, ec);
  const bool plotDirReady = !ec;
  if (!plotDirReady) {
    diagnostics.push_back(Diagnostic::error("cannot create plot directory '" + paths.plotDir + "': " + ec.message() +
                                            "; no plots will be written"));
  }
  printSetupLine(console, {" executing command .! mkdir -p ", paths.plotDir});

  const DetectorPreset preset = selectPreset(config);
  printSetupLine(console, {" idetConfig = ", std::to_string(preset.idetConfig), " ",
                           kDetectorNames[static_cast<std::size_t>(preset.idetConfig)]});

  const int imodulus = channelParity(config);
  printSetupLine(console, {" imodulus = ", std::to_string(imodulus)});

  printSetupLine(console, {" reading file ", adcFile});
  printSetupLine(console, {" writing file ", paths.gainLog});

  return RunSetup{preset,
                  imodulus,
                  plotDirReady,
                  std::move(*gainLog),
                  std::move(*binInfo),
                  std::move(results),
                  std::move(*adc),
                  bookHistograms(preset)};
}

}  // namespace calib
