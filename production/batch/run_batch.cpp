#include "production/batch.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "production/acceptance.hpp"
#include "production/plan.hpp"
#include "production/recorder.hpp"
#include "production/report.hpp"
#include "production/results_reader.hpp"
#include "production/runner.hpp"
#include "production/store.hpp"
#include "support/input_file.hpp"
#include "support/process.hpp"
#include "support/progress.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

void say(const ByteSink& sink, const std::string& text) { sink(text); }

}  // namespace

CommandOutcome failure(const Printer& print, const std::string& message) {
  say(print.err, "calib-batch: " + message + "\n");
  return CommandOutcome{true, 0};
}

PlanRequest planRequest(const RunCommand& command) {
  PlanRequest request;
  request.paths = command.paths;
  request.outDir = command.outDir;
  request.dbUrl = command.dbUrl;
  request.jobs = command.jobs;
  request.criteriaFile = command.criteriaFile;
  request.namePattern = command.namePattern;
  request.force = command.force;
  request.readOnly = command.dryRun;
  request.calibExe = command.calibExe;
  return request;
}

void listSkipped(const BatchPlan& plan, const Printer& print) {
  for (const auto& [path, why] : plan.skipped) say(print.out, "skipped: " + path + ": " + why + "\n");
}

CommandOutcome runBatch(const RunCommand& command, const Printer& print) {
  CommandOutcome outcome;
  ChildProcesses processes;
  std::string error;
  std::optional<BatchPlan> plan =
      planBatch(planRequest(command), processes, print.err, error, outcome.terminationSignal);
  if (outcome.terminationSignal) return outcome;
  if (!plan) return failure(print, error);
  outcome.failed = plan->incomplete;
  const std::vector<PlannedFile>& files = plan->files;

  if (command.dryRun) {
    for (const PlannedFile& p : files)
      say(print.out, "would analyse: " + p.file.path + " (chip " + p.fields.chip + ", " + p.fields.config +
                         ", measured " + p.measuredAt + ") into " + p.outputDir + "\n");
    listSkipped(*plan, print);
    say(print.out, "dry run: " + plural(plan->filesFound, "file", "files") + ": " + std::to_string(files.size()) +
                       " to analyse, " + std::to_string(plan->alreadyRecorded) + " already recorded, " +
                       std::to_string(plan->skipped.size()) + " skipped\n");
    return outcome;
  }

  std::vector<ChildCommand> children;
  for (const PlannedFile& p : files) {
    std::error_code made;
    fs::create_directories(p.outputDir, made);
    children.push_back(calibChild(plan->calibExe, p));
  }
  Recorder recorder(*plan->store, plan->criteria, plan->criteriaId, plan->version, command.force, files, print.err);
  std::optional<ProgressMeter> progress;
  if (print.progress && !files.empty())
    progress.emplace(files.size(), print.err, steadySeconds, [](std::uint64_t done, std::uint64_t total, double t) {
      return ProgressMeter::formatCountLine("calib-batch", "files", done, total, t);
    });
  const RunnerOutcome ran = runChildren(
      processes, children, command.jobs,
      [&](std::size_t index, const ChildExit& exit, const std::string& startError) {
        const bool recorded = recorder.finished(index, exit, startError);
        if (!recorded && progress) progress->finish();
        return recorded;
      },
      [&](std::size_t done) {
        if (progress) progress->update(done);
      });
  if (progress) progress->finish();
  outcome.terminationSignal = ran.terminationSignal;
  if (ran.stopped || recorder.count(Verdict::Error) > 0) outcome.failed = true;

  say(print.out, recorder.table());
  listSkipped(*plan, print);
  std::string summary = plural(plan->filesFound, "file", "files") + ": " + recorder.analysedText() + ", " +
                        std::to_string(plan->alreadyRecorded + recorder.alreadyRecorded()) + " already recorded, " +
                        std::to_string(plan->skipped.size()) + " skipped";
  if (ran.terminationSignal)
    summary += "; interrupted, " + std::to_string(files.size() - recorder.recorded()) + " not recorded";
  say(print.out, summary + "\n");
  return outcome;
}

CommandOutcome ingestResults(const IngestCommand& command, const Printer& print) {
  CommandOutcome outcome;
  const auto fatal = [&](const std::string& message) { return failure(print, message); };
  ChildProcesses processes;  // for the termination signals
  std::string error;
  const std::optional<Rules> rules = loadRules(command.criteriaFile, command.namePattern, error);
  if (!rules) return fatal(error);
  const Criteria* criteria = &rules->criteria;
  const NamePattern* pattern = &rules->pattern;
  const std::unique_ptr<Store> store = Store::open(command.dbUrl, error);
  if (!store) return fatal(error);
  const std::optional<std::int64_t> criteriaId = store->criteriaId(*criteria, error);
  if (!criteriaId) return fatal(error);

  // Every file read first, so that the runs are recorded in the order they
  // were measured, as run records them.
  std::vector<RunInput> inputs;
  for (const std::string& path : command.resultFiles) {
    const auto problem = [&](const std::string& why) {
      say(print.err, "calib-batch: cannot ingest '" + path + "': " + why + "\n");
      outcome.failed = true;
    };
    std::error_code readError;
    std::optional<std::string> text = readWholeFile(path, readError);
    if (!text) {
      problem(readError.message());
      continue;
    }
    std::optional<RunResults> results = parseResults(*text, error);
    if (!results) {
      problem(error);
      continue;
    }
    // The ADC file: as calib was given it, or beside the results.
    std::string adc;
    for (const fs::path& candidate :
         {fs::path(results->adcFile), fs::path(path).parent_path() / fs::path(results->adcFile).filename()})
      if (adc.empty() && fs::is_regular_file(candidate, readError)) adc = candidate.string();
    RunInput in;
    if (results->adcSha256) {
      in.inputSha256 = *results->adcSha256;
    } else if (!adc.empty()) {
      const std::optional<std::string> sha = sha256OfFile(adc, readError);
      if (!sha) {
        problem("cannot read its ADC file '" + adc + "': " + readError.message());
        continue;
      }
      in.inputSha256 = *sha;
    } else {
      problem("the results have no SHA-256 of their ADC file (calib --sha256) and the file '" + results->adcFile +
              "' is not found");
      continue;
    }
    std::string reason;
    const std::optional<NameFields> fields = pattern->match(results->adcFile, reason);
    if (fields) in.stand = fields->stand;
    in.chip = results->chip;
    in.config = results->config;
    in.detector = results->detector;
    in.compression = results->compression;
    in.inputPath = adc.empty() ? results->adcFile : fs::absolute(adc).lexically_normal().string();
    if (results->adcFileBytes) in.inputBytes = static_cast<std::int64_t>(*results->adcFileBytes);
    in.measuredAt = measuredAt(in.stand, adc.empty() ? path : adc);
    in.analysisVersion = results->toolVersion;
    in.calibExit = "ingested";
    in.outputDir = fs::absolute(fs::path(path).parent_path()).lexically_normal().string();
    in.results = std::move(results);
    in.resultsJson = std::move(*text);
    inputs.push_back(std::move(in));
  }
  std::stable_sort(inputs.begin(), inputs.end(), [](const RunInput& a, const RunInput& b) {
    return std::tie(a.measuredAt, a.inputPath) < std::tie(b.measuredAt, b.inputPath);
  });
  std::optional<ProgressMeter> progress;
  if (print.progress && !inputs.empty())
    progress.emplace(inputs.size(), print.err, steadySeconds, [](std::uint64_t done, std::uint64_t total, double t) {
      return ProgressMeter::formatCountLine("calib-batch", "results", done, total, t);
    });
  std::vector<RunRow> rows;
  std::size_t already = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (const int s = processes.takeTermination()) {
      outcome.terminationSignal = s;
      break;
    }
    const std::optional<RecordOutcome> recorded = store->record(inputs[i], *criteria, *criteriaId, false, error);
    if (!recorded) return fatal("cannot record '" + inputs[i].inputPath + "': " + error);
    if (recorded->recorded) {
      rows.push_back(batchRow(inputs[i], *recorded));
      if (recorded->assessment.verdict == Verdict::Error) outcome.failed = true;
    } else {
      ++already;
    }
    if (progress) progress->update(i + 1);
  }
  if (progress) progress->finish();
  if (!rows.empty()) say(print.out, formatRuns(rows, Format::Table, false));
  say(print.out, plural(command.resultFiles.size(), "results file", "results files") + ": " +
                     std::to_string(rows.size()) + " recorded, " + std::to_string(already) + " already recorded\n");
  return outcome;
}

}  // namespace calib::production
