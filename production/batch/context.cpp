#include "production/batch/context.hpp"

#include <unistd.h>

#include <filesystem>

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// How long calib --version may take.
constexpr double kVersionSeconds = 60;

// The database, opened as access asks, with the criteria's id.
Result<void> openStore(BatchContext& context, const std::string& outDir, Access access) {
  if (access == Access::ReadOnly) {
    // Only what calib-batch made is read; a database not made yet is empty.
    Result<std::unique_ptr<Store>> store = Store::openExisting(context.dbUrl);
    if (!store) return store.error().absent() ? Result<void>() : Result<void>(store.error());
    context.store = std::move(*store);
    const Result<std::int64_t> id = context.store->findCriteria(context.rules.criteria);
    if (!id) return id.error();
    context.criteriaId = *id;
    return {};
  }
  std::error_code made;
  if (!outDir.empty()) fs::create_directories(outDir, made);
  if (made) return failed("cannot create output directory '" + outDir + "': " + made.message());
  Result<std::unique_ptr<Store>> store = Store::open(context.dbUrl);
  if (!store) return store.error();
  context.store = std::move(*store);
  const Result<std::int64_t> id = context.store->criteriaId(context.rules.criteria);
  if (!id) return id.error();
  context.criteriaId = *id;
  return {};
}

}  // namespace

std::string defaultDatabaseUrl(const std::string& outDir) {
  return "sqlite:" + (fs::path(outDir) / "calib.sqlite").string();
}

Result<std::string> calibVersion(ChildProcesses& processes, const std::string& calib) {
  ChildCommand command;
  command.argv = {calib, "--version"};
  const Result<CommandResult> ran = runCommand(processes, command, kVersionSeconds);
  if (!ran) return ran.error();
  if (ran->terminationSignal) return stoppedBy(ran->terminationSignal);
  std::string text = ran->out;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (ran->exit.exitStatus == 0 && text.starts_with("calib ")) return text.substr(6);
  return failed("'" + calib + " --version' gave " + (ran->timedOut ? "no answer in time" : describeExit(ran->exit)) +
                " and '" + text + "'");
}

Result<BatchContext> openBatchContext(const BatchOptions& options, Access access, ChildProcesses& processes) {
  Result<Rules> rules = loadRules(options.criteriaFile, options.namePattern);
  if (!rules) return rules.error();
  BatchContext context{std::move(*rules), "", "", "", nullptr, 0};
  if (!options.calibExe.empty()) {
    // Absolute, as each calib starts in its output directory.
    context.calibExe = fs::absolute(options.calibExe).lexically_normal().string();
    if (::access(context.calibExe.c_str(), X_OK) != 0) return failed("cannot run calib '" + options.calibExe + "'");
    Result<std::string> version = calibVersion(processes, context.calibExe);
    if (!version) return version.error();
    context.version = std::move(*version);
  }
  context.dbUrl = options.dbUrl.empty() ? defaultDatabaseUrl(options.outDir) : options.dbUrl;
  if (Result<void> opened = openStore(context, options.outDir, access); !opened) return opened.error();
  return context;
}

}  // namespace calib::production
