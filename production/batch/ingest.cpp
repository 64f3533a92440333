#include "production/batch/ingest.hpp"

#include "production/batch/run_batch.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "production/batch/context.hpp"
#include "production/batch/plan.hpp"
#include "production/batch/recorder.hpp"
#include "production/listing/listing.hpp"
#include "support/input_file.hpp"
#include "support/progress.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// The run of a results file, or why it cannot be ingested.
Result<RunInput> ingestedRun(const std::string& path, const NamePattern& pattern) {
  Result<std::string> text = readResultsFile(path);
  if (!text) return text.error();
  Result<RunResults> results = parseResults(*text);
  if (!results) return results.error();
  // The ADC file: as calib was given it, or beside the results.
  std::string adc;
  std::string absentWhy = "is not found";  // what the ADC file is, when none is read
  for (const fs::path& candidate :
       {fs::path(results->adcFile), fs::path(path).parent_path() / fs::path(results->adcFile).filename()}) {
    std::error_code e;
    const fs::file_status status = fs::status(candidate, e);
    if (adc.empty() && fs::is_regular_file(status)) adc = candidate.string();
    else if (fs::exists(status)) absentWhy = "is not a regular file ('" + candidate.string() + "')";
  }
  RunInput in;
  in.calibExit = "ingested";
  if (!adc.empty()) {
    // The file there is the one analysed, or the results are not of it.
    const Result<std::string, std::error_code> sha = sha256OfFile(adc);
    if (!sha) return failed("cannot read its ADC file '" + adc + "': " + sha.error().message());
    if (results->adcSha256 && *results->adcSha256 != *sha)
      return failed("its ADC file '" + adc + "' is not the one analysed (SHA-256 " + sha->substr(0, 12) +
                    "…, the results name " + results->adcSha256->substr(0, 12) + "…)");
    in.inputSha256 = *sha;
  } else if (results->adcSha256) {
    in.inputSha256 = *results->adcSha256;
    in.calibExit = "ingested, unverified: the ADC file '" + results->adcFile + "' " + absentWhy;
  } else {
    return failed("the results have no SHA-256 of their ADC file (calib --sha256) and the file '" +
                  results->adcFile + "' " + absentWhy);
  }
  // The stand's fields from the file's whole path: calib is often given a
  // name relative to the directory it runs in, whose date the path holds.
  const std::string named = adc.empty() ? results->adcFile : fs::absolute(adc).lexically_normal().string();
  if (const Result<NameFields> fields = pattern.match(named)) in.stand = fields->stand;
  in.chip = results->chip;
  in.config = results->config;
  in.detector = results->detector;
  in.compression = results->compression;
  in.inputPath = adc.empty() ? results->adcFile : fs::absolute(adc).lexically_normal().string();
  if (results->adcFileBytes) in.inputBytes = static_cast<std::int64_t>(*results->adcFileBytes);
  in.measuredAt = measuredAt(in.stand, adc.empty() ? path : adc);
  in.analysisVersion = results->toolVersion;
  in.outputDir = fs::absolute(path).parent_path().lexically_normal().string();
  // Results of a file not read to its end, beside calib's messages (as a
  // batch keeps them): the error says what calib said, as run's does.
  if (!results->readToEnd)
    if (const std::string messages = calibMessages(in.outputDir); !messages.empty())
      in.assessment = inputIncomplete(messages);
  if (!in.assessment) in.assessment = cutLastLine(*results);
  in.results = std::move(*results);
  in.resultsJson = std::move(*text);
  return in;
}

}  // namespace

CommandOutcome ingestResults(const IngestCommand& command, const Printer& print) {
  ChildProcesses processes;  // for the termination signals
  BatchOptions options;
  options.outDir.clear();
  options.dbUrl = command.dbUrl;
  options.criteriaFile = command.criteriaFile;
  options.namePattern = command.namePattern;
  // Every file read first, so that the runs are recorded in the order they
  // were measured, as run records them, and so that files of which none can
  // be read make no database.
  const Result<Rules> rules = loadRules(options.criteriaFile, options.namePattern);
  if (!rules) return rules.error();
  bool failedFile = false;
  std::vector<RunInput> inputs;
  for (const std::string& path : command.resultFiles) {
    Result<RunInput> in = ingestedRun(path, rules->pattern);
    if (in) {
      inputs.push_back(std::move(*in));
    } else {
      print.message("cannot ingest '" + path + "': " + in.error().message);
      failedFile = true;
    }
  }
  std::stable_sort(inputs.begin(), inputs.end(), [](const RunInput& a, const RunInput& b) {
    return std::tie(a.measuredAt, a.inputPath) < std::tie(b.measuredAt, b.inputPath);
  });
  if (inputs.empty()) {
    print.out(plural(command.resultFiles.size(), "results file", "results files") + ": none could be read, nothing "
              "recorded\n");
    return reported();
  }
  const Result<BatchContext> context =
      openBatchContext(options, Access::Write, processes, {}, [&](const std::string& text) { print.message(text); });
  if (!context) return context.error();
  print.err(newDatabaseMessage(*context));
  std::optional<ProgressMeter> progress;
  if (print.progress && !inputs.empty())
    progress.emplace(inputs.size(), print.err, steadySeconds, [](std::uint64_t done, std::uint64_t total, double t) {
      return ProgressMeter::formatCountLine("calib-batch", "results", done, total, t);
    });
  std::vector<RunRow> rows;
  std::vector<std::pair<RunRow, std::string>> judgedAgain;
  std::size_t already = 0;
  std::size_t alreadyErrors = 0;
  int stoppedBySignal = 0;
  std::size_t notRecorded = 0;  // stopped by a signal, or at a run that could not be recorded
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const int signal = processes.takeTermination();
    const Result<RecordOutcome> recorded = signal ? Result<RecordOutcome>(stoppedBy(signal))
                                                  : context->store->record(inputs[i], Store::Supersede::IfNotFinal);
    if (!recorded) {
      notRecorded = inputs.size() - i;
      stoppedBySignal = recorded.error().signal;
      if (!stoppedBySignal) print.message("cannot record '" + inputs[i].inputPath + "': " + recorded.error().message);
      break;
    }
    judgedAgain.insert(judgedAgain.end(), recorded->judgedAgain.begin(), recorded->judgedAgain.end());
    if (recorded->recorded) {
      rows.push_back(recorded->row);
      if (recorded->assessment.verdict == Verdict::Error) failedFile = true;
    } else {
      ++already;
      alreadyErrors += recorded->currentVerdict == "error";
    }
    if (progress) progress->update(i + 1);
  }
  if (progress) progress->finish();
  if (!rows.empty()) print.out(formatRuns(rows, Format::Table, RunListing::Records));
  print.out(judgedAgainTable(judgedAgain));
  print.out(plural(command.resultFiles.size(), "results file", "results files") + ": " + std::to_string(rows.size()) +
            " recorded, " + std::to_string(already) + " already recorded" +
            (alreadyErrors ? " (" + plural(alreadyErrors, "error", "errors") + ")" : "") +
            (judgedAgain.empty() ? "" : ", " + std::to_string(judgedAgain.size()) + " judged again") +
            notRecordedText(notRecorded, stoppedBySignal) + "\n" + usedText(context->dbUrl, command.configFile));
  if (stoppedBySignal) return stoppedBy(stoppedBySignal);
  return failedFile || notRecorded > 0 || alreadyErrors > 0 ? CommandOutcome(reported()) : CommandOutcome();
}

}  // namespace calib::production
