#include "production/batch/plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include "production/command/command.hpp"
#include "production/stand/stand_config.hpp"
#include "support/parallel.hpp"
#include "support/sha256.hpp"
#include "support/utf8.hpp"
#include "support/utc_time.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// The relative path without the compression and text suffixes.
std::string stem(std::string relative) {
  for (const char* suffix : {".gz", ".zst", ".txt"})
    if (relative.ends_with(suffix)) relative.resize(relative.size() - std::string_view(suffix).size());
  return relative;
}

// Hashing: each file's content hash, on as many threads as jobs; a file
// that cannot be read gets the message instead, by index.
std::vector<std::string> hashFiles(std::vector<PlannedFile>& files, unsigned jobs) {
  std::vector<std::string> errors(files.size());
  runInParallel(files.size(), std::max(jobs, 1u), [&](std::size_t i) {
    const Result<std::string, std::error_code> sha = sha256OfFile(files[i].file.path);
    if (sha) {
      files[i].sha256 = *sha;
    } else {
      errors[i] = "cannot read '" + files[i].file.path + "': " + sha.error().message();
    }
  });
  return errors;
}

// Selecting: of the files hashed, those whose content is new to the batch
// and needs analysing (planBatch says which).
Result<std::vector<PlannedFile>> selectNew(const BatchContext& context, const BatchOptions& options,
                                           std::vector<PlannedFile> named, const std::vector<std::string>& hashErrors,
                                           BatchPlan& plan, const ByteSink& err) {
  std::vector<PlannedFile> selected;
  std::map<std::string, std::string> firstWithContent;
  for (std::size_t i = 0; i < named.size(); ++i) {
    PlannedFile& p = named[i];
    if (!hashErrors[i].empty()) {
      err(messageLine(hashErrors[i]));
      plan.incomplete = true;
      continue;
    }
    if (const auto [it, fresh] = firstWithContent.emplace(p.sha256, p.file.path); !fresh) {
      plan.skipped.emplace_back(p.file.path, "the same content as '" + it->second + "'");
      continue;
    }
    if (context.store) {
      const Result<Store::Recorded> recorded = context.store->currentRecord(p.sha256);
      if (!recorded) return recorded.error();
      // The same content named as another chip or configuration: a copy or
      // a mix-up on the stand, which someone has to look at (--force
      // records it under this name, superseding that record). Compared as
      // UTF-8, as a database that keeps only UTF-8 (PostgreSQL) has them.
      if (recorded->runId != 0 && !options.force &&
          (validUtf8(recorded->chip) != validUtf8(p.fields.chip) ||
           validUtf8(recorded->config) != validUtf8(p.fields.config))) {
        plan.skipped.emplace_back(p.file.path, "the same content as run " + std::to_string(recorded->runId) +
                                                   " of chip " + recorded->chip + ", " + recorded->config + " ('" +
                                                   recorded->inputPath + "'); --force records it under this name");
        continue;
      }
      if (recorded->runId != 0 && recorded->final && !options.force) {
        const bool otherVersion = recorded->analysisVersion != context.version;
        if (otherVersion && !(options.reanalyse && isOlderVersion(recorded->analysisVersion, context.version))) {
          ++plan.otherVersion[recorded->analysisVersion];
          plan.otherVersionErrors += recorded->verdict == "error";
          continue;
        }
        if (!otherVersion) {
          ++plan.alreadyRecorded;
          plan.alreadyErrors += recorded->verdict == "error";
          continue;
        }
      }
      if (recorded->runId != 0) {
        Result<std::vector<std::string>> dirs = context.store->analysisDirs(p.sha256);
        if (!dirs) return dirs.error();
        p.analysisDirs = std::move(*dirs);
      }
    }
    std::error_code e;
    const auto size = fs::file_size(p.file.path, e);
    if (!e) p.bytes = static_cast<std::int64_t>(size);
    p.measuredAt = measuredAt(p.fields.stand, p.file.path);
    selected.push_back(std::move(p));
  }
  return selected;
}

// A calib version as a part of a directory name.
std::string versionPart(const std::string& version) {
  std::string part = "calib-";
  for (const char c : version) part += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
  return part;
}

}  // namespace

std::string measuredAt(const StandFields& stand, const std::string& path) {
  if (!stand.date.empty())
    if (const auto t = standTimestamp(stand.date, stand.time)) return *t;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "1970-01-01T00:00:00";
  return utcText(st.st_mtime, "%Y-%m-%dT%H:%M:%S");
}

ChildCommand calibChild(const std::string& calibExe, const PlannedFile& file) {
  ChildCommand command;
  // "--" ends calib's options: a chip or configuration that begins with
  // "--" is still an argument.
  command.argv = {calibExe,         "--quiet",          "--no-progress",
                  "--sha256",       "--output-dir",     file.outputDir,
                  "--",             file.fields.chip,   file.fields.config,
                  fs::absolute(file.file.path).lexically_normal().string()};
  command.workDir = file.outputDir;
  command.stdoutPath = file.outputDir + "/calib.out";
  command.stderrPath = file.outputDir + "/calib.err";
  return command;
}

Named nameFiles(const std::vector<FoundFile>& found, const NamePattern& pattern) {
  Named named;
  for (const FoundFile& f : found) {
    Result<NameFields> fields = pattern.match(f.path);
    if (fields) {
      PlannedFile p;
      p.file = f;
      p.fields = std::move(*fields);
      named.files.push_back(std::move(p));
    } else if (fields.error().absent()) {
      named.skipped.emplace_back(f.path, fields.error().message);
    } else {
      named.errors.push_back(fields.error().message);
    }
  }
  return named;
}

std::vector<std::string> placeOutputs(std::vector<PlannedFile>& files, const std::string& outRoot,
                                      const std::string& version) {
  std::vector<std::string> messages;
  std::map<std::string, std::string> owner;  // output directory, the file that has it
  for (PlannedFile& p : files) {
    std::string dir =
        (fs::path(outRoot) / (stem(p.file.relative) + "." + p.sha256.substr(0, 8))).lexically_normal().string();
    const auto analysed = [&](const std::string& d) {
      return std::find(p.analysisDirs.begin(), p.analysisDirs.end(), d) != p.analysisDirs.end();
    };
    if (analysed(dir)) dir += "." + versionPart(version);
    for (int n = 2; analysed(dir); ++n)
      if (const std::string other = dir + "-" + std::to_string(n); !analysed(other)) dir = other;
    for (int n = 2; owner.contains(dir); ++n) {
      const std::string other = dir + "-" + std::to_string(n);
      if (!owner.contains(other)) {
        messages.push_back("'" + p.file.path + "' would write to '" + dir + "' as '" + owner[dir] +
                           "' does; its outputs go to '" + other + "'");
        dir = other;
      }
    }
    owner[dir] = p.file.path;
    p.outputDir = dir;
  }
  return messages;
}

Result<BatchPlan> planBatch(const BatchContext& context, const BatchOptions& options, ChildProcesses& processes,
                            const ByteSink& err) {
  Discovery found = discover(options.paths, options.outDir);
  for (const std::string& e : found.errors) err(messageLine(e));
  Result<BatchPlan> plan = planFiles(context, options, std::move(found.files), processes, err);
  if (!plan) return plan;
  if (!found.errors.empty()) plan->incomplete = true;
  // What is no file to analyse is counted and listed with the files skipped.
  plan->filesFound += found.skipped.size();
  plan->skipped.insert(plan->skipped.begin(), found.skipped.begin(), found.skipped.end());
  return plan;
}

Result<BatchPlan> planFiles(const BatchContext& context, const BatchOptions& options, std::vector<FoundFile> found,
                            ChildProcesses& processes, const ByteSink& err, const FirstSeen& firstSeen) {
  BatchPlan plan;
  // The stand's markers of complete files are not files to analyse.
  if (!options.readySuffix.empty())
    std::erase_if(found, [&](const FoundFile& f) { return f.path.ends_with(options.readySuffix); });
  plan.filesFound = found.size();

  Named named = nameFiles(found, context.rules.pattern);
  for (const std::string& e : named.errors) err(messageLine(e));
  plan.incomplete = !named.errors.empty();
  plan.skipped = std::move(named.skipped);
  plan.named = named.files.size();
  // Readiness: only complete files go on.
  const std::int64_t now = wallClockNs();
  std::vector<PlannedFile> ready;
  for (PlannedFile& p : named.files) {
    const std::optional<FileStamp> stamp = stampOf(p.file.path);
    if (!stamp) {
      plan.skipped.emplace_back(p.file.path, "gone before it was read");
      continue;
    }
    const Readiness r = readiness(p.file.path, *stamp, options.settle, options.readySuffix, now,
                                  firstSeen ? firstSeen(p.file.path, *stamp) : now);
    if (!r.ready) {
      plan.waiting.push_back({p.file.path, r.waitSeconds, r.why});
      continue;
    }
    p.stamp = *stamp;
    ready.push_back(std::move(p));
  }
  const std::vector<std::string> hashErrors = hashFiles(ready, options.jobs);
  if (const int s = processes.takeTermination()) return stoppedBy(s);
  Result<std::vector<PlannedFile>> selected = selectNew(context, options, std::move(ready), hashErrors, plan, err);
  if (!selected) return selected.error();
  plan.files = std::move(*selected);
  for (const std::string& m : placeOutputs(plan.files, fs::absolute(options.outDir).string(), context.version))
    err(messageLine(m));
  std::stable_sort(plan.files.begin(), plan.files.end(), [](const PlannedFile& a, const PlannedFile& b) {
    return std::tie(a.measuredAt, a.file.path) < std::tie(b.measuredAt, b.file.path);
  });
  return plan;
}

std::optional<Failure> noneNamed(const BatchPlan& plan, const std::vector<std::string>& paths,
                                 const std::string& expression) {
  if (plan.filesFound == 0 || plan.named > 0) return std::nullopt;
  std::string where;
  for (const std::string& p : paths) where += (where.empty() ? "'" : ", '") + p + "'";
  std::string examples;
  for (std::size_t i = 0; i < std::min<std::size_t>(2, plan.skipped.size()); ++i)
    examples += (i ? "; " : "") + ("'" + plan.skipped[i].first + "': " + plan.skipped[i].second);
  return failed("none of the " + plural(plan.filesFound, "file", "files") + " under " + where +
                " is named as the name pattern reads (" + examples + "); the pattern is '" + expression +
                "' (--name-pattern, or name_pattern in " + kStandConfigName + ", reads other names)");
}

Result<void> checkNamed(const BatchOptions& options, const Rules& rules) {
  Discovery found = discover(options.paths, options.outDir);
  if (!options.readySuffix.empty())
    std::erase_if(found.files, [&](const FoundFile& f) { return f.path.ends_with(options.readySuffix); });
  BatchPlan names;
  names.filesFound = found.files.size();
  Named named = nameFiles(found.files, rules.pattern);
  names.named = named.files.size();
  names.skipped = std::move(named.skipped);
  // A pattern that cannot be matched against any of them says why.
  if (names.named == 0 && !named.errors.empty()) return failed(named.errors.front());
  if (const std::optional<Failure> none = noneNamed(names, options.paths, rules.pattern.expression())) return *none;
  return {};
}

}  // namespace calib::production
