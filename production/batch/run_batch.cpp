#include "production/batch/run_batch.hpp"

#include <filesystem>
#include <optional>

#include "production/batch/recorder.hpp"
#include "production/batch/runner.hpp"
#include "support/progress.hpp"
#include "support/utf8.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// ", 4 already recorded (1 error)" and ", 3 recorded by calib 1.0.0 (…)".
std::string recordedText(const BatchPlan& plan, std::size_t recordedMeanwhile, const std::string& version) {
  std::string text = ", " + std::to_string(plan.alreadyRecorded + recordedMeanwhile) + " already recorded";
  if (plan.alreadyErrors) text += " (" + plural(plan.alreadyErrors, "error", "errors") + ")";
  for (const auto& [other, n] : plan.otherVersion)
    text += ", " + std::to_string(n) + " recorded by calib " + other +
            (isOlderVersion(other, version) ? " (--reanalyse analyses " + std::string(n == 1 ? "it" : "them") +
                                                  " with " + version + ")"
                                            : " (newer: --force analyses " + std::string(n == 1 ? "it" : "them") +
                                                  " with " + version + ")");
  if (plan.otherVersionErrors) text += " (" + plural(plan.otherVersionErrors, "error", "errors") + ")";
  return text;
}

void printDryRun(const BatchPlan& plan, const std::string& version, const Printer& print) {
  for (const PlannedFile& p : plan.files)
    print.out("would analyse: " +
              terminalText(p.file.path + " (chip " + p.fields.chip + ", " + p.fields.config + ", measured " +
                           p.measuredAt + ") into " + p.outputDir) +
              "\n");
  listSkipped(plan, print);
  print.out("dry run: " + plural(plan.filesFound, "file", "files") + ": " + std::to_string(plan.files.size()) +
            " to analyse" + recordedText(plan, 0, version) + ", " + std::to_string(plan.skipped.size()) +
            " skipped" + waitingText(plan) + "\n");
}

}  // namespace

std::string notRecordedText(std::size_t notRecorded, int terminationSignal) {
  if (terminationSignal) return "; interrupted, " + std::to_string(notRecorded) + " not recorded";
  return notRecorded ? "; recording failed, " + std::to_string(notRecorded) + " not recorded" : "";
}

std::string waitingText(const BatchPlan& plan) {
  return plan.waiting.empty() ? "" : ", " + std::to_string(plan.waiting.size()) + " waiting";
}

void listSkipped(const BatchPlan& plan, const Printer& print) {
  for (const auto& [path, why] : plan.skipped) print.out("skipped: " + terminalText(path + ": " + why) + "\n");
  for (const WaitingFile& w : plan.waiting) print.out("waiting: " + terminalText(w.path + ": " + w.why) + "\n");
}


Analysed analysePlan(const BatchContext& context, const BatchPlan& plan, const BatchOptions& options,
                     ChildProcesses& processes, const Printer& print) {
  const std::vector<PlannedFile>& files = plan.files;
  std::vector<ChildCommand> children;
  for (const PlannedFile& p : files) {
    std::error_code made;
    fs::create_directories(p.outputDir, made);
    children.push_back(calibChild(context.calibExe, p));
  }
  Recorder recorder(*context.store, context.version, supersedeOf(options.force, options.reanalyse), files, print.err);
  std::optional<ProgressMeter> progress;
  if (print.progress && !files.empty())
    progress.emplace(files.size(), print.err, steadySeconds, [](std::uint64_t done, std::uint64_t total, double t) {
      return ProgressMeter::formatCountLine("calib-batch", "files", done, total, t);
    });
  const RunnerOutcome ran = runChildren(
      processes, children, options.jobs,
      [&](std::size_t index, const ChildExit& exit, const std::string& startError) {
        const bool recorded = recorder.finished(index, exit, startError);
        if (!recorded && progress) progress->finish();
        return recorded;
      },
      [&](std::size_t done) {
        if (progress) progress->update(done);
      });
  if (progress) progress->finish();
  Analysed a;
  a.table = recorder.table() + recorder.judgedAgainTable();
  a.analysedText = recorder.analysedText();
  a.alreadyRecorded = recorder.alreadyRecorded();
  a.notRecorded = files.size() - recorder.recorded();
  a.failed = ran.stopped || recorder.count(Verdict::Error) > 0 || recorder.alreadyErrors() > 0 ||
             recorder.keptCurrent() > 0;
  a.terminationSignal = ran.terminationSignal ? ran.terminationSignal : recorder.terminationSignal();
  return a;
}

CommandOutcome runBatch(const RunCommand& command, const Printer& print) {
  ChildProcesses processes;
  const Access access = command.dryRun ? Access::ReadOnly : Access::Write;
  const Result<BatchContext> context = openBatchContext(
      command.batch, access, processes, [&](const Rules& rules) { return checkNamed(command.batch, rules); },
      [&](const std::string& text) { print.message(text); });
  if (!context) return context.error();
  print.err(newDatabaseMessage(*context));
  const Result<BatchPlan> plan = planBatch(*context, command.batch, processes, print.err);
  if (!plan) return plan.error();
  if (command.dryRun) {
    printDryRun(*plan, context->version, print);
    print.out(usedText(context->dbUrl, command.batch.configFile));
    return plan->incomplete || plan->alreadyErrors > 0 || plan->otherVersionErrors > 0 ? CommandOutcome(reported())
                                                                                       : CommandOutcome();
  }

  const Analysed analysed = analysePlan(*context, *plan, command.batch, processes, print);
  print.out(analysed.table);
  listSkipped(*plan, print);
  std::string summary = plural(plan->filesFound, "file", "files") + ": " + analysed.analysedText +
                        recordedText(*plan, analysed.alreadyRecorded, context->version) + ", " +
                        std::to_string(plan->skipped.size()) + " skipped" + waitingText(*plan);
  summary += notRecordedText(analysed.notRecorded, analysed.terminationSignal);
  print.out(summary + "\n" + usedText(context->dbUrl, command.batch.configFile));
  if (analysed.terminationSignal) return stoppedBy(analysed.terminationSignal);
  // A file whose current record is an error fails every batch it is in,
  // whether this batch or an earlier one recorded it.
  const bool errors = plan->alreadyErrors > 0 || plan->otherVersionErrors > 0;
  return plan->incomplete || analysed.failed || errors ? CommandOutcome(reported()) : CommandOutcome();
}

}  // namespace calib::production
