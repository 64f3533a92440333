#include "production/batch/stand_init.hpp"

#include <filesystem>

#include "production/batch/context.hpp"
#include "support/output_file.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

std::string absolutePath(const std::string& path) {
  return path.empty() ? path : fs::absolute(path).lexically_normal().string();
}

}  // namespace

CommandOutcome initStand(const InitCommand& command, const Printer& print) {
  std::error_code error;
  if (fs::exists(command.file, error) && !command.force)
    return failed("'" + command.file + "' exists already (--force writes over it)");
  // Absolute paths: the configuration is read from wherever a command runs.
  StandSettings s = command.settings;
  s.out = absolutePath(s.out);
  s.criteria = absolutePath(s.criteria);
  s.report = absolutePath(s.report);
  for (std::string& p : s.paths) p = absolutePath(p);
  if (s.db.empty()) s.db = defaultDatabaseUrl(s.out);
  if (s.db.starts_with("sqlite:")) s.db = "sqlite:" + absolutePath(s.db.substr(7));

  BatchOptions options;
  options.paths = s.paths;
  options.outDir = s.out;
  options.dbUrl = s.db;
  options.criteriaFile = s.criteria;
  options.namePattern = s.namePattern;
  for (const std::string& p : s.paths)
    if (!fs::exists(p, error)) return failed("the stand's path '" + p + "' is not there");
  ChildProcesses processes;
  const Result<BatchContext> context = openBatchContext(options, Access::Write, processes);
  if (!context) return context.error();
  if (const std::error_code e = writeFileWhole(command.file, standConfigText(s)))
    return failed("cannot write '" + command.file + "': " + e.message());
  print.err(newDatabaseMessage(*context));
  print.out("wrote " + command.file + ": database " + s.db + " (judging by criteria '" +
            context->rules.criteria.name + "' version " + context->rules.criteria.version + "), output root " + s.out +
            (s.paths.empty() ? "" : ", " + plural(s.paths.size(), "path", "paths") + " to watch") + "\n");
  return {};
}

}  // namespace calib::production
