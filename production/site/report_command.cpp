#include "production/site/report_command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "production/site/report_place.hpp"
#include "production/site/site_model.hpp"
#include "production/site/site_pages.hpp"
#include "production/site/trends_page.hpp"
#include "production/store/store.hpp"
#include "support/output_file.hpp"
#include "support/parallel.hpp"
#include "support/process.hpp"
#include "support/utc_time.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// Marks a directory as a report, which the next report may replace.
constexpr const char* kMarker = ".calib-report";

// A page of the site being built. Unsynced: the site is published whole,
// by renaming its directory, and a site cut short by a crash is never
// published.
std::error_code writeText(const fs::path& path, const std::string& text) {
  Result<OutputFile, std::error_code> file = OutputFile::create(path.string(), OutputFile::Durability::Unsynced);
  if (!file) return file.error();
  file->out().put(text);
  return file->publish();
}

// Puts the directory built in the place of target: exchanged with the old
// report in one step where the file system can, else renamed over it.
std::error_code publish(const fs::path& built, const fs::path& target) {
  std::error_code e;
  if (!fs::exists(target, e)) {
    if (::rename(built.c_str(), target.c_str()) != 0) return {errno, std::generic_category()};
    return {};
  }
  if (::renameat2(AT_FDCWD, built.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return {errno, std::generic_category()};
    // No exchange here: the old report moves aside, the new one takes its
    // name, an instant without either.
    const fs::path aside = built.string() + ".old";
    if (::rename(target.c_str(), aside.c_str()) != 0) return {errno, std::generic_category()};
    if (::rename(built.c_str(), target.c_str()) != 0) {
      // The old report comes back.
      const std::error_code failed(errno, std::generic_category());
      ::rename(aside.c_str(), target.c_str());
      return failed;
    }
    fs::remove_all(aside, e);
    return {};
  }
  fs::remove_all(built, e);  // the old report, now under the built name
  return {};
}

// Removes what reports stopped by a crash or SIGKILL left beside target
// (".<name>.new-<pid>" of a process no longer there).
void removeLeftovers(const fs::path& target) {
  std::string prefix = ".";
  prefix += target.filename().string();
  prefix += ".new-";
  std::error_code e;
  for (fs::directory_iterator it(target.parent_path(), e); !e && it != fs::directory_iterator(); it.increment(e)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const std::string pid = name.substr(prefix.size(), name.find('.', prefix.size()) - prefix.size());
    if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (::kill(std::stoi(pid), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
}

}  // namespace

namespace {

// The directory a report goes to: the real path, so that a symbolic link
// to a report keeps pointing at the new one; refused when it holds
// anything but a report.
Result<fs::path> reportTarget(const std::string& outDir) {
  std::error_code e;
  fs::path target = fs::weakly_canonical(fs::absolute(outDir), e);
  if (e) return failed("cannot resolve '" + outDir + "': " + e.message());
  if (!target.has_filename()) target = target.parent_path();
  if (fs::exists(target, e) &&
      (!fs::is_directory(target, e) || (!fs::is_empty(target, e) && !fs::exists(target / kMarker, e))))
    return failed("'" + outDir + "' holds something else than a report; give the report a directory of its own (--out)");
  return target;
}

// Chip pages made at once, on up to kPageThreads threads: each page draws
// its 32 curves from a results file read and parsed for it.
constexpr std::size_t kChipsAtOnce = 32;
constexpr unsigned kPageThreads = 2;

// The gain curves of a chip's latest runs, from their stored results files
// (by analysis).
RunCurves chipCurves(const SiteModel& model, const SiteChip& chip,
                     const std::map<std::int64_t, Result<std::string>>& files) {
  RunCurves curves;
  for (const std::size_t i : chip.latest) {
    const RunRow& row = model.runs[i].row;
    const auto file = files.find(row.analysisId);
    if (file == files.end()) continue;
    curves.emplace(row.runId, file->second ? parseCurves(*file->second)
                                           : Result<std::vector<ChannelCurve>>(file->second.error()));
  }
  return curves;
}

// Writes the pages into built; stops at a termination signal.
CommandOutcome writePages(const fs::path& built, const SiteModel& model, const SiteContext& context, Store& store,
                          ChildProcesses& processes) {
  const auto write = [&](const std::string& relative, const std::string& text) -> CommandOutcome {
    if (const std::error_code w = writeText(built / relative, text))
      return failed("cannot write '" + (built / relative).string() + "': " + w.message());
    return {};
  };
  if (CommandOutcome w = write(kMarker, "a report of calib-batch; calib-batch report replaces this directory\n"); !w)
    return w;
  if (CommandOutcome w = write("index.html", indexPage(model, context)); !w) return w;
  if (CommandOutcome w = write("trends.html", trendsPage(model, context)); !w) return w;
  for (std::size_t first = 0; first < model.chips.size(); first += kChipsAtOnce) {
    if (const int signal = processes.takeTermination()) return stoppedBy(signal);
    const std::size_t count = std::min(kChipsAtOnce, model.chips.size() - first);
    // The database is read here, on this thread; the pages are made from
    // what was read, each on its own.
    std::vector<std::int64_t> analyses;
    for (std::size_t k = first; k < first + count; ++k)
      for (const std::size_t i : model.chips[k].latest) analyses.push_back(model.runs[i].row.analysisId);
    const Result<std::map<std::int64_t, Result<std::string>>> files = store.resultsFiles(analyses);
    if (!files) return files.error();
    std::vector<std::string> pages(count);
    runInParallel(count, kPageThreads, [&](std::size_t k) {
      const SiteChip& chip = model.chips[first + k];
      pages[k] = chipPage(model, chip, context, chipCurves(model, chip, *files));
    });
    for (std::size_t k = 0; k < count; ++k)
      if (CommandOutcome w = write(model.chips[first + k].page, pages[k]); !w) return w;
  }
  if (const int signal = processes.takeTermination()) return stoppedBy(signal);
  return {};
}

}  // namespace

CommandOutcome writeReport(const ReportCommand& command, const Printer& print) {
  ChildProcesses processes;  // for the termination signals
  SiteFilter filter;
  filter.configPattern = command.configPattern;
  if (!command.since.empty()) {
    const std::optional<std::string> day = dayOf(command.since);
    if (!day) return failed("--since '" + command.since + "' is not a date (YYYY-MM-DD)");
    filter.since = *day;
  }
  const Result<std::unique_ptr<Store>> store = Store::openExisting(command.dbUrl, WaitLimits{&processes});
  if (!store) return store.error();
  const Result<CurrentRuns> current = (*store)->currentRuns();
  if (!current) return current.error();
  const SiteModel model = buildSiteModel(current->runs, current->channels, current->criteria, filter);
  for (const std::string& problem : model.problems) print.message(problem);
  if (const int signal = processes.takeTermination()) return stoppedBy(signal);

  const Result<fs::path> target =
      reportTarget(command.outIsDefault ? subsetReportDir(command.outDir, filter) : command.outDir);
  if (!target) return target.error();
  removeLeftovers(*target);
  std::error_code e;
  fs::create_directories(target->parent_path(), e);
  std::string builtName = ".";
  builtName += target->filename().string();
  builtName += ".new-" + std::to_string(::getpid());
  const fs::path built = target->parent_path() / builtName;
  fs::remove_all(built, e);
  fs::create_directories(built / "chips", e);
  if (e) return failed("cannot create '" + built.string() + "': " + e.message());

  const SiteContext context{(*store)->database().name(), utcNow(), filter, target->string()};
  CommandOutcome written = writePages(built, model, context, **store, processes);
  if (written)
    if (const std::error_code p = publish(built, *target))
      written = failed("cannot put the report in '" + target->string() + "': " + p.message());
  if (!written) {
    fs::remove_all(built, e);
    return written;
  }
  print.out("report: " + plural(model.chips.size(), "chip", "chips") + ", " +
            plural(model.shown.size(), "chip configuration", "chip configurations") + ": " +
            (*target / "index.html").string() + "\n" +
            (command.sayWhatWasUsed ? usedText(command.dbUrl, command.configFile) : ""));
  return {};
}

}  // namespace calib::production
