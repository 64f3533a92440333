#include "production/batch/context.hpp"

#include <unistd.h>

#include <filesystem>

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// How long calib --version may take.
constexpr double kVersionSeconds = 60;

// The refusal of a criteria file that is not the database's.
Failure otherCriteria(const std::string& file, const Criteria& given, const std::string& dbUrl,
                      const Criteria& inForce) {
  if (given.name == inForce.name && given.version == inForce.version)
    return failed("--criteria " + file + " is '" + given.name + "' version " + given.version + " with another text than " +
                  dbUrl + " judges by under that name and version: give the changed criteria a new version, then "
                  "'calib-batch criteria set " + file + " --db " + dbUrl + "' makes them the database's");
  return failed("--criteria " + file + " is '" + given.name + "' version " + given.version + ", but " + dbUrl +
                " judges by '" + inForce.name + "' version " + inForce.version +
                ": 'calib-batch criteria set " + file + " --db " + dbUrl +
                "' makes it the database's and judges every record again; without --criteria a batch judges by "
                "the database's criteria");
}

// The database, opened as access asks, and the criteria it judges by. Its
// waits end at the termination signals of processes.
Result<void> openStore(BatchContext& context, const BatchOptions& options, Access access,
                       const ChildProcesses& processes, const Notice& notice) {
  const WaitLimits limits{&processes};
  const Criteria requested = context.rules.criteria;
  std::optional<CriteriaInForce> inForce;
  if (access == Access::ReadOnly) {
    // Only what calib-batch made is read; a database not made yet is empty.
    Result<std::unique_ptr<Store>> store = Store::openExisting(context.dbUrl, limits);
    if (!store) return store.error().absent() ? Result<void>() : Result<void>(store.error());
    context.store = std::move(*store);
    Result<std::optional<CriteriaInForce>> read = context.store->criteriaInForce();
    if (!read) return read.error();
    inForce = std::move(*read);
  } else {
    // A database named by hand in a directory that is not there is a
    // mistake: found before anything is made.
    std::error_code made;
    if (context.dbUrl.starts_with("sqlite:")) {
      const fs::path parent = fs::absolute(context.dbUrl.substr(7), made).parent_path();
      if (!fs::is_directory(parent, made) &&
          (options.outDir.empty() || parent.lexically_normal() != fs::absolute(options.outDir).lexically_normal()))
        return failed("cannot open database '" + context.dbUrl + "': there is no directory '" + parent.string() + "'");
    }
    if (!options.outDir.empty()) fs::create_directories(options.outDir, made);
    if (made) return failed("cannot create output directory '" + options.outDir + "': " + made.message());
    Result<std::unique_ptr<Store>> store = Store::open(context.dbUrl, limits, notice);
    if (!store) return store.error();
    context.store = std::move(*store);
    context.madeDatabase = context.store->made();
    Result<CriteriaInForce> started = context.store->startCriteria(requested);
    if (!started) return started.error();
    inForce = std::move(*started);
  }
  if (!inForce) return {};
  if (!options.criteriaFile.empty() && inForce->criteria.sha256 != requested.sha256)
    return otherCriteria(options.criteriaFile, requested, context.dbUrl, inForce->criteria);
  context.rules.criteria = std::move(inForce->criteria);
  return {};
}

}  // namespace

namespace {

// Whether path is dir or lies below it (both normalised, absolute).
bool within(const fs::path& path, const fs::path& dir) {
  const std::string p = path.string();
  const std::string d = dir.string();
  return p == d || p.starts_with(d.ends_with('/') ? d : d + "/");
}

fs::path resolved(const std::string& path) {
  std::error_code error;
  const fs::path p = fs::weakly_canonical(fs::absolute(path, error), error);
  return error ? fs::absolute(path).lexically_normal() : p;
}

}  // namespace

Result<void> checkPlaces(const std::vector<std::string>& paths, const std::string& outDir, const std::string& dbUrl) {
  const fs::path out = outDir.empty() ? fs::path() : resolved(outDir);
  const fs::path db = dbUrl.starts_with("sqlite:") ? resolved(dbUrl.substr(7)) : fs::path();
  for (const std::string& given : paths) {
    const fs::path input = resolved(given);
    std::error_code error;
    const bool tree = fs::is_directory(input, error);
    if (!out.empty() && within(input, out))
      return failed("the output root '" + outDir + "' " + (input == out ? "is" : "contains") + " the input path '" +
                    given + "': the raw tree and the outputs must be apart (give another --out)");
    if (!out.empty() && tree && within(out, input))
      return failed("the output root '" + outDir + "' lies inside the input path '" + given +
                    "': the outputs would be written into the raw tree (give an --out outside it)");
    if (!db.empty() && tree && within(db, input))
      return failed("the database '" + dbUrl + "' lies inside the input path '" + given +
                    "': it would be written into the raw tree (give a --db outside it)");
  }
  return {};
}

std::string newDatabaseMessage(const BatchContext& context) {
  if (!context.madeDatabase) return "";
  return "calib-batch: made a new database " + context.dbUrl + ", judging by criteria '" +
         context.rules.criteria.name + "' version " + context.rules.criteria.version + "\n";
}

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

Result<BatchContext> openBatchContext(const BatchOptions& options, Access access, ChildProcesses& processes,
                                      const std::function<Result<void>(const Rules&)>& check, const Notice& notice) {
  Result<Rules> rules = loadRules(options.criteriaFile, options.namePattern);
  if (!rules) return rules.error();
  if (check)
    if (Result<void> checked = check(*rules); !checked) return checked.error();
  BatchContext context{std::move(*rules), "", "", "", nullptr};
  if (!options.calibExe.empty()) {
    // Absolute, as each calib starts in its output directory.
    context.calibExe = fs::absolute(options.calibExe).lexically_normal().string();
    if (::access(context.calibExe.c_str(), X_OK) != 0) return failed("cannot run calib '" + options.calibExe + "'");
    Result<std::string> version = calibVersion(processes, context.calibExe);
    if (!version) return version.error();
    context.version = std::move(*version);
  }
  context.dbUrl = options.dbUrl.empty() ? defaultDatabaseUrl(options.outDir) : options.dbUrl;
  if (Result<void> apart = checkPlaces(options.paths, options.outDir, context.dbUrl); !apart) return apart.error();
  if (Result<void> opened = openStore(context, options, access, processes, notice); !opened) return opened.error();
  return context;
}

}  // namespace calib::production
