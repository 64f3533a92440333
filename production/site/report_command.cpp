#include "production/site_command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "production/site_model.hpp"
#include "production/site_pages.hpp"
#include "production/store.hpp"
#include "support/process.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// Marks a directory as a report, which the next report may replace.
constexpr const char* kMarker = ".calib-report";

std::error_code writeText(const fs::path& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return {errno, std::generic_category()};
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::error_code e(errno, std::generic_category());
      ::close(fd);
      return e;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return {errno, std::generic_category()};
  return {};
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

CommandOutcome writeReport(const ReportCommand& command, const Printer& print) {
  ChildProcesses processes;  // for the termination signals
  SiteFilter filter;
  filter.configPattern = command.configPattern;
  if (!command.since.empty()) {
    const std::optional<std::string> day = dayOf(command.since);
    if (!day) return failure(print, "--since '" + command.since + "' is not a date (YYYY-MM-DD)");
    filter.since = *day;
  }
  std::string error;
  bool absent = false;
  const std::unique_ptr<Store> store = Store::openExisting(command.dbUrl, error, absent);
  if (!store) return failure(print, error);
  const auto runs = store->currentRuns(error);
  const auto channels = runs ? store->currentChannels(error) : std::nullopt;
  const auto criteria = channels ? store->criteriaTexts(error) : std::nullopt;
  if (!criteria) return failure(print, error);
  const SiteModel model = buildSiteModel(*runs, *channels, *criteria, filter);
  for (const std::string& problem : model.problems) print.err("calib-batch: " + problem + "\n");
  if (const int signal = processes.takeTermination()) return CommandOutcome{true, signal};

  // The real path: a symbolic link to a report keeps pointing at the new one.
  std::error_code e;
  fs::path target = fs::weakly_canonical(fs::absolute(command.outDir), e);
  if (e) return failure(print, "cannot resolve '" + command.outDir + "': " + e.message());
  if (!target.has_filename()) target = target.parent_path();
  if (fs::exists(target, e) &&
      (!fs::is_directory(target, e) || (!fs::is_empty(target, e) && !fs::exists(target / kMarker, e))))
    return failure(print, "'" + command.outDir +
                              "' holds something else than a report; give the report a directory "
                              "of its own (--out)");
  removeLeftovers(target);
  fs::create_directories(target.parent_path(), e);
  std::string builtName = ".";
  builtName += target.filename().string();
  builtName += ".new-" + std::to_string(::getpid());
  const fs::path built = target.parent_path() / builtName;
  fs::remove_all(built, e);
  fs::create_directories(built / "chips", e);
  if (e) return failure(print, "cannot create '" + built.string() + "': " + e.message());
  const auto abandon = [&](const std::string& message) {
    std::error_code ignored;
    fs::remove_all(built, ignored);
    return failure(print, message);
  };

  SiteContext context{store->database().name(), utcNow(), filter, target.string()};
  const auto write = [&](const std::string& relative, const std::string& text) {
    const std::error_code w = writeText(built / relative, text);
    if (w) error = "cannot write '" + (built / relative).string() + "': " + w.message();
    return !w;
  };
  if (!write(kMarker, "a report of calib-batch; calib-batch report replaces this directory\n") ||
      !write("index.html", indexPage(model, context)))
    return abandon(error);
  for (const SiteChip& chip : model.chips) {
    if (const int signal = processes.takeTermination()) {
      std::error_code ignored;
      fs::remove_all(built, ignored);
      return CommandOutcome{true, signal};
    }
    if (!write(chip.page, chipPage(model, chip, context))) return abandon(error);
  }
  if (const int signal = processes.takeTermination()) {
    std::error_code ignored;
    fs::remove_all(built, ignored);
    return CommandOutcome{true, signal};
  }
  if (const std::error_code p = publish(built, target))
    return abandon("cannot put the report in '" + target.string() + "': " + p.message());
  print.out("report: " + plural(model.chips.size(), "chip", "chips") + ", " +
            plural(model.shown.size(), "chip configuration", "chip configurations") + ": " +
            (target / "index.html").string() + "\n");
  return CommandOutcome{};
}

}  // namespace calib::production
