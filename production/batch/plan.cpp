#include "production/plan.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>

#include "support/parallel.hpp"
#include "support/sha256.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// How long calib --version may take.
constexpr double kVersionSeconds = 60;

void say(const ByteSink& sink, const std::string& text) { sink(text); }

// "2018-07-25T12:35:10" of the file's modification time in UTC.
std::optional<std::string> modificationTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  std::tm utc{};
  gmtime_r(&st.st_mtime, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(text);
}

// The relative path without the compression and text suffixes.
std::string stem(std::string relative) {
  for (const char* suffix : {".gz", ".zst", ".txt"})
    if (relative.ends_with(suffix)) relative.resize(relative.size() - std::string_view(suffix).size());
  return relative;
}

}  // namespace

std::string measuredAt(const StandFields& stand, const std::string& path) {
  if (!stand.date.empty())
    if (const auto t = standTimestamp(stand.date, stand.time)) return *t;
  return modificationTime(path).value_or("1970-01-01T00:00:00");
}

std::optional<std::string> calibVersion(ChildProcesses& processes, const std::string& calib, std::string& error,
                                        int& terminationSignal) {
  ChildCommand command;
  command.argv = {calib, "--version"};
  const std::optional<CommandResult> ran = runCommand(processes, command, kVersionSeconds, error);
  if (!ran) return std::nullopt;
  if (ran->terminationSignal) {
    terminationSignal = ran->terminationSignal;
    return std::nullopt;
  }
  std::string text = ran->out;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (ran->exit.exitStatus == 0 && text.starts_with("calib ")) return text.substr(6);
  error = "'" + calib + " --version' gave " + (ran->timedOut ? "no answer in time" : describeExit(ran->exit)) +
          " and '" + text + "'";
  return std::nullopt;
}

ChildCommand calibChild(const std::string& calibExe, const PlannedFile& file) {
  ChildCommand command;
  command.argv = {calibExe,         "--quiet",          "--no-progress",
                  "--sha256",       "--output-dir",     file.outputDir,
                  file.fields.chip, file.fields.config, fs::absolute(file.file.path).lexically_normal().string()};
  command.workDir = file.outputDir;
  command.stdoutPath = file.outputDir + "/calib.out";
  command.stderrPath = file.outputDir + "/calib.err";
  return command;
}

std::string defaultDatabaseUrl(const std::string& outDir) {
  return "sqlite:" + (fs::path(outDir) / "calib.sqlite").string();
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::optional<Rules> loadRules(const std::string& criteriaFile, const std::string& namePattern, std::string& error) {
  std::optional<Criteria> criteria = loadCriteria(criteriaFile, error);
  if (!criteria) return std::nullopt;
  std::optional<NamePattern> pattern =
      NamePattern::compile(namePattern.empty() ? NamePattern::defaultExpression() : namePattern, error);
  if (!pattern) return std::nullopt;
  return Rules{std::move(*criteria), std::move(*pattern)};
}

std::optional<BatchPlan> planBatch(const PlanRequest& request, ChildProcesses& processes, const ByteSink& err,
                                   std::string& error, int& terminationSignal) {
  std::optional<Rules> rules = loadRules(request.criteriaFile, request.namePattern, error);
  if (!rules) return std::nullopt;
  BatchPlan plan;
  plan.criteria = std::move(rules->criteria);
  // Absolute, as each calib starts in its output directory.
  plan.calibExe = fs::absolute(request.calibExe).lexically_normal().string();
  if (::access(plan.calibExe.c_str(), X_OK) != 0) {
    error = "cannot run calib '" + request.calibExe + "'";
    return std::nullopt;
  }
  const std::optional<std::string> version = calibVersion(processes, plan.calibExe, error, terminationSignal);
  if (!version) return std::nullopt;
  plan.version = *version;

  plan.dbUrl = request.dbUrl.empty() ? defaultDatabaseUrl(request.outDir) : request.dbUrl;
  if (request.readOnly) {
    // Only what calib-batch made is read; a database not made yet is empty.
    bool absent = false;
    plan.store = Store::openExisting(plan.dbUrl, error, absent);
    if (!plan.store && !absent) return std::nullopt;
    if (plan.store) {
      const std::optional<std::int64_t> id = plan.store->findCriteria(plan.criteria, error);
      if (!id) return std::nullopt;
      plan.criteriaId = *id;
    }
  } else {
    std::error_code made;
    fs::create_directories(request.outDir, made);
    if (made) {
      error = "cannot create output directory '" + request.outDir + "': " + made.message();
      return std::nullopt;
    }
    plan.store = Store::open(plan.dbUrl, error);
    if (!plan.store) return std::nullopt;
    const std::optional<std::int64_t> id = plan.store->criteriaId(plan.criteria, error);
    if (!id) return std::nullopt;
    plan.criteriaId = *id;
  }

  // Discovery and names.
  const Discovery found = discover(request.paths, request.outDir);
  for (const std::string& e : found.errors) say(err, "calib-batch: " + e + "\n");
  plan.incomplete = !found.errors.empty();
  plan.filesFound = found.files.size();
  std::vector<PlannedFile> named;
  for (const FoundFile& f : found.files) {
    std::string reason;
    if (std::optional<NameFields> fields = rules->pattern.match(f.path, reason)) {
      named.push_back({f, std::move(*fields), "", std::nullopt, "", ""});
    } else {
      plan.skipped.emplace_back(f.path, reason.empty() ? "the name does not match the pattern" : reason);
    }
  }

  // Content hashes, on as many threads as jobs.
  std::vector<std::string> hashErrors(named.size());
  runInParallel(named.size(), std::max(request.jobs, 1u), [&](std::size_t i) {
    std::error_code e;
    const std::optional<std::string> sha = sha256OfFile(named[i].file.path, e);
    if (sha) {
      named[i].sha256 = *sha;
    } else {
      hashErrors[i] = "cannot read '" + named[i].file.path + "': " + e.message();
    }
  });
  if (const int s = processes.takeTermination()) {
    terminationSignal = s;
    return std::nullopt;
  }

  // What is new, where its outputs go, and in which order it is recorded.
  std::map<std::string, std::string> firstWithContent;
  std::map<std::string, std::string> outputOwner;
  for (std::size_t i = 0; i < named.size(); ++i) {
    PlannedFile& p = named[i];
    if (!hashErrors[i].empty()) {
      say(err, "calib-batch: " + hashErrors[i] + "\n");
      plan.incomplete = true;
      continue;
    }
    if (const auto [it, fresh] = firstWithContent.emplace(p.sha256, p.file.path); !fresh) {
      plan.skipped.emplace_back(p.file.path, "the same content as '" + it->second + "'");
      continue;
    }
    // A run recorded as not analysed (calib did not start, crashed, was
    // killed) is tried again.
    if (plan.store && !request.force) {
      const std::optional<Store::Recorded> recorded =
          plan.store->recordedRun(p.sha256, plan.version, plan.criteriaId, error);
      if (!recorded) return std::nullopt;
      if (recorded->runId != 0 && recorded->final) {
        ++plan.alreadyRecorded;
        continue;
      }
    }
    std::error_code e;
    const auto size = fs::file_size(p.file.path, e);
    if (!e) p.bytes = static_cast<std::int64_t>(size);
    p.measuredAt = measuredAt(p.fields.stand, p.file.path);
    // A directory per content below the mirrored path: a file that changes
    // never overwrites the outputs of what it was before.
    std::string dir = (fs::absolute(request.outDir) / (stem(p.file.relative) + "." + p.sha256.substr(0, 8)))
                          .lexically_normal()
                          .string();
    for (int n = 2; outputOwner.contains(dir); ++n) {
      const std::string other = dir + "-" + std::to_string(n);
      if (!outputOwner.contains(other)) {
        say(err, "calib-batch: '" + p.file.path + "' would write to '" + dir + "' as '" + outputOwner[dir] +
                     "' does; its outputs go to '" + other + "'\n");
        dir = other;
      }
    }
    outputOwner[dir] = p.file.path;
    p.outputDir = dir;
    plan.files.push_back(p);
  }
  std::stable_sort(plan.files.begin(), plan.files.end(), [](const PlannedFile& a, const PlannedFile& b) {
    return std::tie(a.measuredAt, a.file.path) < std::tie(b.measuredAt, b.file.path);
  });
  return plan;
}

}  // namespace calib::production
