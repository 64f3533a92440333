#include "analysis/run_setup.hpp"

#include "support/int_fields.hpp"

#include <algorithm>
#include <climits>
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

// What is wrong with a chip string as a number, as atoi reads it (white
// space, a sign, digits): empty when nothing is.
std::string_view chipStringProblem(std::string_view chip) {
  std::size_t i = 0;
  while (i < chip.size() && (chip[i] == ' ' || (chip[i] >= '\t' && chip[i] <= '\r'))) ++i;
  if (i < chip.size() && (chip[i] == '+' || chip[i] == '-')) ++i;
  const std::size_t digits = i;
  while (i < chip.size() && chip[i] >= '0' && chip[i] <= '9') ++i;
  if (i == digits || i != chip.size()) return "is not a number";
  const int value = atoiSaturating(chip);
  if (value == INT_MAX || value == INT_MIN) {
    // Saturated, or the limit itself: only the limit has no more digits than
    // it, once leading zeros are gone.
    const std::string_view magnitude = chip.substr(std::min(chip.find_first_not_of('0', digits), chip.size()));
    const std::string_view limit = value == INT_MAX ? "2147483647" : "2147483648";
    if (magnitude.size() > limit.size() || (magnitude.size() == limit.size() && magnitude > limit))
      return "is beyond the int range";
  }
  return "";
}

}  // namespace

std::optional<RunSetup> setUpRun(const RunRequest& request, const OutputPaths& paths, bool writeJson,
                                 OutBuffer& console, Diagnostics& diagnostics) {
  const std::string& adcFile = request.adcFile;
  const std::string_view config = request.config;
  const auto fail = [&](std::string message) {
    diagnostics.push_back(Diagnostic::error(std::move(message)));
    return std::nullopt;
  };
  Result<InputFile, std::error_code> adc = InputFile::open(adcFile);
  if (!adc) return fail("cannot open ADC file '" + adcFile + "': " + adc.error().message());

  Result<OutputFile, std::error_code> gainLog = OutputFile::create(paths.gainLog);
  if (!gainLog) return fail("cannot create gain log '" + paths.gainLog + "': " + gainLog.error().message());
  gainLog->out().put(kGainLogHeader);

  Result<OutputFile, std::error_code> binInfo = OutputFile::create(paths.binInfo);
  if (!binInfo)
    return fail("cannot create bin-information file '" + paths.binInfo + "': " + binInfo.error().message());

  std::optional<OutputFile> results;
  std::optional<std::string> staleResults;
  if (!writeJson) staleResults = paths.results;
  if (writeJson) {
    Result<OutputFile, std::error_code> created = OutputFile::create(paths.results);
    if (!created) return fail("cannot create results file '" + paths.results + "': " + created.error().message());
    results.emplace(std::move(*created));
  }

  std::error_code ec;
  // The directory is made without a shell, so any configuration text is
  // safe in it; the line printed is the command this step has always been
  // described by.
  std::filesystem::create_directories(paths.plotDir, ec);
  const bool plotDirReady = !ec;
  if (!plotDirReady) {
    diagnostics.push_back(Diagnostic::error("cannot create plot directory '" + paths.plotDir + "': " + ec.message() +
                                            "; no plots will be written"));
  } else if (const std::string_view problem = chipStringProblem(request.chipString); !problem.empty()) {
    diagnostics.push_back(Diagnostic::warning("chip string '" + request.chipString + "' " + std::string(problem) +
                                              "; its plots go to '" + paths.plotDir + "'"));
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
                  std::move(staleResults),
                  std::move(*adc),
                  bookHistograms(preset)};
}

}  // namespace calib
