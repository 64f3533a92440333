// calib-sim: writes the ADC sample file of a simulated calibration run,
// and the truth it was made from, for trying and testing calib without a
// chip on the bench.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "support/compressor.hpp"
#include "support/out_buffer.hpp"
#include "support/output_file.hpp"
#include "tools/sim/run_writer.hpp"
#include "tools/sim/sim_options.hpp"
#include "tools/sim/truth_json.hpp"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int fail(const std::string& message) {
  std::cerr << "calib-sim: " << message << '\n';
  return kExitFailure;
}

std::string reason(const std::error_code& error) { return error.message(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace calib;
  using namespace calib::sim;
  const ParsedCommandLine parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.help) {
    std::cout << helpText();
    return std::cout.flush() ? kExitSuccess : kExitFailure;
  }
  if (!parsed.options) {
    std::cerr << "calib-sim: " << parsed.error << "\ncalib-sim: try 'calib-sim --help'\n";
    return kExitUsage;
  }
  const SimOptions& options = *parsed.options;
  const bool toStdout = options.output == "-";
  std::string truthPath;
  if (options.writeTruth) truthPath = options.truthPath.value_or(toStdout ? "" : options.output + ".truth.json");

  // Both files are written beside their names and renamed into place at
  // the end, so a failed run leaves no half-written sample file.
  std::error_code error;
  std::optional<OutputFile> adcFile;
  std::optional<OutBuffer> stdoutBuffer;
  if (toStdout) {
    stdoutBuffer.emplace(fdSink(STDOUT_FILENO));
  } else {
    Result<OutputFile, std::error_code> created = OutputFile::create(options.output);
    if (!created) return fail("cannot create '" + options.output + "': " + reason(created.error()));
    adcFile.emplace(std::move(*created));
  }
  std::optional<OutputFile> truthFile;
  if (!truthPath.empty()) {
    Result<OutputFile, std::error_code> created = OutputFile::create(truthPath);
    if (!created) return fail("cannot create '" + truthPath + "': " + reason(created.error()));
    truthFile.emplace(std::move(*created));
  }

  // A name ending in .gz or .zst asks for a compressed file.
  const auto endsWith = [&](std::string_view suffix) {
    return options.output.size() >= suffix.size() &&
           std::string_view(options.output).substr(options.output.size() - suffix.size()) == suffix;
  };
  const Compression compression = toStdout           ? Compression::None
                                  : endsWith(".gz")  ? Compression::Gzip
                                  : endsWith(".zst") ? Compression::Zstd
                                                     : Compression::None;
  RunTruth run;
  if (compression == Compression::None) {
    run = writeRun(options, toStdout ? *stdoutBuffer : adcFile->out());
  } else {
    // Write errors stay in the file's buffer and come out when it is
    // finished.
    Compressor compressor(compression, [&](std::string_view chunk) {
      adcFile->out().put(chunk);
      return std::error_code();
    });
    OutBuffer text(compressor.sink());
    run = writeRun(options, text);
    text.flush();
    if ((error = compressor.finish())) return fail("cannot compress '" + options.output + "': " + reason(error));
  }
  if (toStdout) {
    if ((error = stdoutBuffer->flush())) return fail("cannot write standard output: " + reason(error));
  } else if ((error = adcFile->finish())) {
    return fail("cannot write '" + options.output + "': " + reason(error));
  }
  if (truthFile) {
    writeTruthJson(run, truthFile->out());
    if ((error = truthFile->finish())) return fail("cannot write '" + truthPath + "': " + reason(error));
  }
  if (adcFile && (error = adcFile->publish())) return fail("cannot write '" + options.output + "': " + reason(error));
  if (truthFile && (error = truthFile->publish())) return fail("cannot write '" + truthPath + "': " + reason(error));
  return kExitSuccess;
}
