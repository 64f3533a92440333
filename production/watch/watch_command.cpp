#include "production/watch/watch_command.hpp"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "production/batch/plan.hpp"
#include "production/batch/readiness.hpp"
#include "production/batch/recorder.hpp"
#include "production/site/report_command.hpp"
#include "production/watch/tree_watch.hpp"
#include "production/watch/verdict_line.hpp"
#include "production/watch/watch_lock.hpp"
#include "support/output_file.hpp"

namespace calib::production {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNs = 1'000'000'000;
// How long a file whose record failed (the database away) waits before it
// is tried again.
constexpr double kRetrySeconds = 60;
// How long an --on-verdict program may run before it is killed.
constexpr double kHookSeconds = 60;
// How long calibs stopped at the end of the grace time have before SIGKILL.
constexpr double kKillSeconds = 10;
// The longest sleep: nothing is due, and the rescan is far.
constexpr double kLongestWait = 3600;

std::int64_t ns(double seconds) { return static_cast<std::int64_t>(seconds * static_cast<double>(kNs)); }

std::string secondsText(double s) {
  std::string text = std::to_string(s);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + " s";
}

class Watcher {
 public:
  Watcher(WatchCommand command, const Printer& print, const WatchReload& reload)
      : command_(std::move(command)), print_(print), reload_(reload) {}

  CommandOutcome run();

 private:
  struct Pending {
    FoundFile file;
    std::int64_t firstSeenNs = 0;
    std::optional<FileStamp> stamp;  // as first seen
    std::int64_t dueNs = 0;
  };
  struct Hook {
    std::int64_t deadlineNs = 0;
    std::string program;  // as started: a reload may change the configured one
    std::string what;
    bool killed = false;
  };

  void message(const std::string& text) const { print_.message(text); }
  // Each file skipped is said once (a hidden one, a writer's temporary
  // file before its rename, not at all).
  void saySkipped(const Skipped& skipped) {
    for (const auto& [path, why] : skipped)
      if (!fs::path(path).filename().string().starts_with('.') && skipsSaid_.insert(path).second)
        message("skipped: " + path + ": " + why);
  }
  bool isMarker(const std::string& path) const {
    return !command_.batch.readySuffix.empty() && path.ends_with(command_.batch.readySuffix);
  }
  void see(const std::string& path, std::int64_t now);
  void rescan(std::int64_t now);
  void planDue(std::int64_t now);
  void startQueued();
  void finished(const ChildExit& exit);
  void emit(const RunRow& row, const std::string& before);
  void startHook(const RunRow& row, const std::string& line);
  void maybeReport(std::int64_t now, bool force);
  void stop(int signal, std::int64_t now);
  void readAgain(std::int64_t now);
  // The context opened again with batch's options, calib kept.
  Result<BatchContext> openAgain(const BatchOptions& batch);
  // After a record failed: the database opened again (a server that
  // restarted ends the connection for good).
  void reconnect();
  void handleStop(const Failure& failure, std::int64_t now);
  void watchTrees();
  double timeout(std::int64_t now) const;
  bool busyWith(const std::string& path) const;

  WatchCommand command_;
  const Printer& print_;
  const WatchReload& reload_;
  ChildProcesses processes_;
  std::optional<BatchContext> context_;
  std::optional<TreeWatch> tree_;
  std::set<std::string> watchedRoots_;

  std::map<std::string, FileStamp> known_;  // files done with, as they were then
  std::set<std::string> skipsSaid_;         // files whose skipping was said
  std::map<std::string, Pending> pending_;
  std::deque<PlannedFile> queue_;
  std::map<pid_t, PlannedFile> running_;
  std::map<pid_t, Hook> hooks_;
  std::set<std::string> busy_;  // the paths of the files queued or being analysed

  std::int64_t nextRescanNs_ = 0;
  std::int64_t lastReportNs_ = 0;
  bool reportDue_ = false;
  bool reconnect_ = false;  // a record failed: open the database again before the next
  bool stopping_ = false;
  std::int64_t graceEndNs_ = 0;
  std::int64_t killAtNs_ = 0;  // 0: the calibs were not told to stop yet
  std::set<pid_t> stopped_;     // calibs stopped at the end of the grace time

  std::map<std::string, std::size_t> verdicts_;
  std::size_t judgedAgain_ = 0;
  std::size_t notRecorded_ = 0;
};

bool Watcher::busyWith(const std::string& path) const { return busy_.contains(path); }

// A file that may have changed: looked at now (unless it is being analysed:
// then once that ends).
void Watcher::see(const std::string& given, std::int64_t now) {
  const std::string path = isMarker(given) ? given.substr(0, given.size() - command_.batch.readySuffix.size()) : given;
  const std::optional<FoundFile> found = foundUnder(command_.batch.paths, path);
  if (!found) return;
  const std::optional<FileStamp> stamp = stampOf(path);
  if (!stamp) {
    pending_.erase(path);
    known_.erase(path);
    return;
  }
  const auto k = known_.find(path);
  if (k != known_.end() && k->second == *stamp && !isMarker(given)) return;
  Pending& p = pending_[path];
  if (p.firstSeenNs == 0 || p.stamp != stamp) {
    p.firstSeenNs = now;
    p.stamp = stamp;
  }
  p.file = *found;
  p.dueNs = now;
}

void Watcher::rescan(std::int64_t now) {
  const Discovery found = discover(command_.batch.paths, command_.batch.outDir);
  for (const std::string& e : found.errors) message(e);
  std::set<std::string> present;
  for (const auto& skipped : found.skipped) present.insert(skipped.first);
  saySkipped(found.skipped);
  for (const FoundFile& f : found.files) {
    if (isMarker(f.path)) continue;
    present.insert(f.path);
    if (pending_.contains(f.path)) continue;
    const std::optional<FileStamp> stamp = stampOf(f.path);
    if (!stamp) continue;
    const auto k = known_.find(f.path);
    if (k != known_.end() && k->second == *stamp) continue;
    pending_[f.path] = Pending{f, now, stamp, now};
  }
  // What is gone is forgotten: memory follows the tree, not the days.
  std::erase_if(known_, [&](const auto& k) { return !present.contains(k.first); });
  std::erase_if(skipsSaid_, [&](const std::string& p) { return !present.contains(p); });
  nextRescanNs_ = now + ns(command_.rescanSeconds);
}

void Watcher::planDue(std::int64_t now) {
  std::vector<FoundFile> due;
  std::map<std::string, Pending> taken;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.dueNs <= now && !busyWith(it->first)) {
      // Seen again while calib analysed it, unchanged: done with. (A
      // calib that failed is not tried again before the next start.)
      if (const auto k = known_.find(it->first); k != known_.end() && it->second.stamp == k->second) {
        it = pending_.erase(it);
        continue;
      }
      due.push_back(it->second.file);
      taken.insert(pending_.extract(it++));
    } else {
      ++it;
    }
  }
  if (due.empty()) return;
  const Result<BatchPlan> plan = planFiles(
      *context_, command_.batch, due, processes_, print_.err, [&](const std::string& path, const FileStamp& stamp) {
        const auto t = taken.find(path);
        return t != taken.end() && t->second.stamp == stamp ? t->second.firstSeenNs : now;
      });
  if (!plan) {
    if (plan.error().stopped()) {
      for (auto& [path, p] : taken) pending_.insert_or_assign(path, p);
      handleStop(plan.error(), now);
      return;
    }
    message("cannot plan " + plural(due.size(), "file", "files") + ": " + plan.error().message + "; tried again in " +
            secondsText(kRetrySeconds));
    for (auto& [path, p] : taken) pending_.insert_or_assign(path, Pending{p.file, p.firstSeenNs, p.stamp, now + ns(kRetrySeconds)});
    return;
  }
  std::set<std::string> open;
  for (const WaitingFile& w : plan->waiting) {
    Pending p = taken.at(w.path);
    p.dueNs = now + ns(w.seconds);
    pending_.insert_or_assign(w.path, p);
    open.insert(w.path);
  }
  for (const PlannedFile& p : plan->files) {
    open.insert(p.file.path);
    busy_.insert(p.file.path);
    queue_.push_back(p);
  }
  saySkipped(plan->skipped);
  // The rest were recorded already, or skipped: done with, as they are.
  for (const auto& [path, p] : taken)
    if (!open.contains(path))
      if (const std::optional<FileStamp> stamp = stampOf(path)) known_[path] = *stamp;
}

void Watcher::startQueued() {
  while (!stopping_ && !queue_.empty() && running_.size() < std::max(command_.batch.jobs, 1u)) {
    PlannedFile p = std::move(queue_.front());
    queue_.pop_front();
    std::error_code made;
    fs::create_directories(p.outputDir, made);
    ChildCommand child = calibChild(context_->calibExe, p);
    child.ownProcessGroup = true;
    const Result<pid_t> pid = processes_.start(child);
    if (!pid) {
      // Recorded as an analysis that could not be made: the next start
      // of watch, or a run, tries it again.
      const Result<RecordOutcome> outcome =
          context_->store->record(analysedRun(p, context_->version, ChildExit{}, pid.error().message),
                                  supersedeOf(command_.batch.force, command_.batch.reanalyse));
      if (outcome && outcome->recorded) emit(outcome->row, "");
      if (!outcome) message("cannot record '" + p.file.path + "': " + outcome.error().message);
      known_[p.file.path] = p.stamp;
      busy_.erase(p.file.path);
      continue;
    }
    running_.emplace(*pid, std::move(p));
  }
}

void Watcher::finished(const ChildExit& exit) {
  if (const auto h = hooks_.find(exit.pid); h != hooks_.end()) {
    if (exit.exitStatus != 0 && !h->second.killed)
      message("--on-verdict '" + h->second.program + "' for " + h->second.what + ": " + describeExit(exit));
    hooks_.erase(h);
    return;
  }
  const auto r = running_.find(exit.pid);
  if (r == running_.end()) return;
  const PlannedFile p = std::move(r->second);
  running_.erase(r);
  busy_.erase(p.file.path);
  const std::int64_t now = wallClockNs();
  // Stopped by us, or, while stopping, by a signal that went to every
  // process of the service (systemd's default): not an analysis.
  const bool killedWhileStopping =
      stopping_ && (exit.signal == SIGTERM || exit.signal == SIGINT || exit.signal == SIGKILL || exit.signal == SIGHUP);
  if (stopped_.erase(exit.pid) || killedWhileStopping) {
    message("not recorded: '" + p.file.path + "': calib was stopped (analysed at the next start)");
    ++notRecorded_;
    return;
  }
  // Only what is still there, as it was analysed, is recorded: a file
  // removed meanwhile was withdrawn by the stand, and one that changed is
  // analysed again once it is complete.
  const std::optional<FileStamp> stamp = stampOf(p.file.path);
  RunInput run = analysedRun(p, context_->version, exit, "");
  if (!stamp) {
    message("not recorded: '" + p.file.path + "' was removed while calib analysed it");
    known_.erase(p.file.path);
    return;
  }
  if (*stamp != p.stamp || run.inputSha256 != p.sha256) {
    message("not recorded: '" + p.file.path + "' changed while calib analysed it; analysed again once complete");
    see(p.file.path, now);
    return;
  }
  if (Result<std::vector<std::int64_t>> parts = earlierParts(*context_->store, run)) run.supersedes = std::move(*parts);
  const Result<RecordOutcome> outcome =
      context_->store->record(run, supersedeOf(command_.batch.force, command_.batch.reanalyse));
  if (!outcome && outcome.error().stopped()) {
    // The wait for the database ended at a termination signal, which the
    // next wait takes.
    message("not recorded: '" + p.file.path + "': stopped while recording (analysed at the next start)");
    ++notRecorded_;
    reconnect_ = true;
    return;
  }
  if (!outcome) {
    message("cannot record '" + p.file.path + "': " + outcome.error().message + "; analysed again in " +
            secondsText(kRetrySeconds));
    reconnect_ = true;
    Pending again{p.file, now, stamp, now + ns(kRetrySeconds)};
    pending_.insert_or_assign(p.file.path, again);
    return;
  }
  known_[p.file.path] = *stamp;
  if (outcome->recorded) {
    ++verdicts_[outcome->row.verdict];
    emit(outcome->row, "");
  } else {
    message("'" + p.file.path + "': recorded already, as run " + std::to_string(outcome->runId));
  }
  for (const auto& [row, before] : outcome->judgedAgain) {
    ++judgedAgain_;
    emit(row, before);
  }
}

void Watcher::emit(const RunRow& row, const std::string& before) {
  const std::string line = verdictLine(row, before);
  if (const std::error_code e = print_.out(line)) message("cannot write standard output: " + e.message());
  reportDue_ = true;
  if (!command_.onVerdict.empty()) startHook(row, line);
}

// The program gets the line on its standard input (a file unlinked once it
// has it open) and the main fields in its environment; it is an argument
// vector, never a shell's command line.
void Watcher::startHook(const RunRow& row, const std::string& line) {
  const char* tmp = std::getenv("TMPDIR");
  std::string input = std::string(tmp && *tmp ? tmp : "/tmp") + "/calib-verdict-XXXXXX";
  const int fd = ::mkstemp(input.data());
  if (fd < 0) {
    message("--on-verdict: cannot make its input file in '" + input + "'");
    return;
  }
  ::close(fd);
  if (const std::error_code e = writeFileWhole(input, line)) message("--on-verdict: cannot write '" + input + "': " + e.message());
  ChildCommand hook;
  hook.argv = {command_.onVerdict};
  hook.searchPath = command_.onVerdict.find('/') == std::string::npos;
  hook.stdinPath = input;
  hook.outputToStderr = true;  // standard output is the JSON lines
  hook.ownProcessGroup = true;
  hook.environment = verdictEnvironment(row);
  const Result<pid_t> pid = processes_.start(hook);
  ::unlink(input.c_str());
  const std::string what = "run " + std::to_string(row.runId) + " (chip " + row.chip + ", " + row.config + ")";
  if (!pid) {
    message("--on-verdict for " + what + ": " + pid.error().message);
    return;
  }
  hooks_.emplace(*pid, Hook{wallClockNs() + ns(kHookSeconds), command_.onVerdict, what, false});
}

void Watcher::maybeReport(std::int64_t now, bool force) {
  if (command_.reportDir.empty() || !reportDue_) return;
  if (!force && now < lastReportNs_ + ns(command_.reportEverySeconds)) return;
  reportDue_ = false;
  const std::int64_t previousReportNs = lastReportNs_;
  lastReportNs_ = now;
  const ByteSink messages = [&](std::string_view text) { return print_.err("calib-batch: " + std::string(text)); };
  ReportCommand report{context_->dbUrl, command_.reportDir, "", "", "", false};
  const CommandOutcome written = writeReport(report, Printer{messages, print_.err, false});
  if (!written && written.error().stopped()) {
    // Interrupted: made again once the signal is handled, as due as before.
    reportDue_ = true;
    lastReportNs_ = previousReportNs;
    handleStop(written.error(), now);
  }
  else if (!written) message("the report was not made: " + written.error().message);
}

void Watcher::stop(int signal, std::int64_t now) {
  if (stopping_) {
    // Asked twice: the running calibs are stopped now.
    graceEndNs_ = std::min(graceEndNs_, now);
    return;
  }
  stopping_ = true;
  graceEndNs_ = now + ns(command_.graceSeconds);
  pending_.clear();
  for (const PlannedFile& p : queue_) busy_.erase(p.file.path);
  queue_.clear();
  message("stopping (" + std::string(::strsignal(signal)) + "): " + plural(running_.size(), "calib", "calibs") +
          " running, " + secondsText(command_.graceSeconds) + " to finish");
}

void Watcher::handleStop(const Failure& failure, std::int64_t now) {
  if (failure.signal == SIGHUP) {
    readAgain(now);
  } else {
    stop(failure.signal, now);
  }
}

void Watcher::watchTrees() {
  if (!tree_) return;
  for (const std::string& path : command_.batch.paths) {
    std::error_code error;
    if (watchedRoots_.contains(path) || !fs::is_directory(path, error)) continue;
    watchedRoots_.insert(path);
    for (const std::string& problem : tree_->addTree(path)) message(problem);
  }
}

Result<BatchContext> Watcher::openAgain(const BatchOptions& batch) {
  BatchOptions options = batch;
  options.calibExe.clear();  // calib is not asked its version again while calibs run
  Result<BatchContext> context =
      openBatchContext(options, Access::Write, processes_, {}, [&](const std::string& text) { message(text); });
  if (!context) return context;
  context->calibExe = context_->calibExe;
  context->version = context_->version;
  return context;
}

void Watcher::reconnect() {
  Result<BatchContext> context = openAgain(command_.batch);
  if (!context) {
    message("the database is still out of reach: " + context.error().message);
    return;
  }
  context_ = std::move(*context);
  reconnect_ = false;
  message("the database " + context_->dbUrl + " is open again");
}

void Watcher::readAgain(std::int64_t now) {
  const Result<WatchCommand> next = reload_();
  if (!next) {
    message("the configuration was not read again: " + next.error().message + "; going on as before");
    return;
  }
  WatchCommand c = *next;
  if (c.batch.outDir != command_.batch.outDir)
    message("a new output root ('" + c.batch.outDir + "') takes a restart; still '" + command_.batch.outDir + "'");
  c.batch.outDir = command_.batch.outDir;
  if (c.batch.calibExe != command_.batch.calibExe)
    message("a new calib ('" + c.batch.calibExe + "') takes a restart; still '" + command_.batch.calibExe + "'");
  c.batch.calibExe = command_.batch.calibExe;
  Result<BatchContext> context = openAgain(c.batch);
  if (!context) {
    message("the configuration was not read again: " + context.error().message + "; going on as before");
    return;
  }
  context_ = std::move(*context);
  command_ = std::move(c);
  watchTrees();
  // Files waiting are looked at again by the new settings (a shorter
  // settle time, another marker).
  for (auto& [path, p] : pending_) p.dueNs = now;
  rescan(now);
  message("read the configuration again: database " + context_->dbUrl + ", criteria '" +
          context_->rules.criteria.name + "' version " + context_->rules.criteria.version + ", settle " +
          secondsText(command_.batch.settle));
}

double Watcher::timeout(std::int64_t now) const {
  std::int64_t next = now + ns(kLongestWait);
  if (!stopping_) {
    next = std::min(next, nextRescanNs_);
    for (const auto& [path, p] : pending_) next = std::min(next, p.dueNs);
  }
  if (reportDue_ && !command_.reportDir.empty()) next = std::min(next, lastReportNs_ + ns(command_.reportEverySeconds));
  if (stopping_ && !running_.empty()) next = std::min(next, killAtNs_ ? killAtNs_ : graceEndNs_);
  for (const auto& [pid, h] : hooks_) next = std::min(next, h.deadlineNs);
  return std::max(0.0, static_cast<double>(next - now) / static_cast<double>(kNs)) + 0.0002;
}

CommandOutcome Watcher::run() {
  processes_.reloadOnHangup();
  for (const std::string& path : command_.batch.paths)
    if (std::error_code error; !fs::exists(path, error)) return failed("cannot watch '" + path + "': it is not there");
  // What came while no watch ran: the name pattern must read some of it.
  // Then the output root's lock, before the database is opened or made.
  std::optional<WatchLock> lock;
  Result<BatchContext> context =
      openBatchContext(command_.batch, Access::Write, processes_, [&](const Rules& rules) -> Result<void> {
        if (Result<void> named = checkNamed(command_.batch, rules); !named) return named;
        if (Result<void> apart = checkPlaces(command_.batch.paths, command_.batch.outDir,
                                             command_.batch.dbUrl.empty() ? defaultDatabaseUrl(command_.batch.outDir)
                                                                          : command_.batch.dbUrl);
            !apart)
          return apart;
        std::error_code made;
        fs::create_directories(command_.batch.outDir, made);
        if (made) return failed("cannot create output directory '" + command_.batch.outDir + "': " + made.message());
        Result<WatchLock> taken = WatchLock::take(fs::absolute(command_.batch.outDir).string());
        if (!taken) return taken.error();
        lock.emplace(std::move(*taken));
        return {};
      },
      [&](const std::string& text) { message(text); });
  if (!context) return context.error();
  context_ = std::move(*context);
  print_.err(newDatabaseMessage(*context_));

  if (!command_.poll) {
    Result<TreeWatch> tree = TreeWatch::create();
    if (!tree) return tree.error();
    tree_.emplace(std::move(*tree));
    watchTrees();
  }
  message("watching " + plural(command_.batch.paths.size(), "path", "paths") + " (" +
          (tree_ ? "inotify, and a rescan every " : "a rescan every ") + secondsText(command_.rescanSeconds) +
          "), settle " + secondsText(command_.batch.settle) + ", " + plural(command_.batch.jobs, "calib", "calibs") +
          " at once; database " + context_->dbUrl + ", " +
          (command_.batch.configFile.empty() ? "no configuration file" : "configuration " + command_.batch.configFile));
  rescan(wallClockNs());

  for (;;) {
    std::int64_t now = wallClockNs();
    if (!stopping_) {
      if (reconnect_ && std::any_of(pending_.begin(), pending_.end(), [&](const auto& p) { return p.second.dueNs <= now; }))
        reconnect();
      planDue(now);
      startQueued();
    }
    if (stopping_ && running_.empty()) break;
    maybeReport(now, false);
    const ChildProcesses::Events events = processes_.wait(timeout(now), tree_ ? tree_->fd() : -1);
    for (const ChildExit& e : events.exited) finished(e);
    now = wallClockNs();
    if (events.readable && tree_) {
      TreeWatch::Changes changes = tree_->read();
      for (const std::string& p : changes.problems) message(p);
      for (const std::string& removed : changes.removed) {
        pending_.erase(removed);
        known_.erase(removed);
      }
      if (!stopping_) {
        for (const std::string& f : changes.files) see(f, now);
        if (changes.rescan) rescan(now);
      }
    }
    if (events.terminationSignal) stop(events.terminationSignal, now);
    if (events.reload && !stopping_) readAgain(now);
    if (!stopping_ && now >= nextRescanNs_) rescan(now);
    if (stopping_ && !running_.empty()) {
      if (killAtNs_ == 0 && now >= graceEndNs_) {
        message("the grace time is over: stopping " + plural(running_.size(), "calib", "calibs"));
        for (const auto& [pid, p] : running_) {
          ::kill(-pid, SIGTERM);
          stopped_.insert(pid);
        }
        killAtNs_ = now + ns(kKillSeconds);
      } else if (killAtNs_ != 0 && now >= killAtNs_) {
        for (const auto& [pid, p] : running_) ::kill(-pid, SIGKILL);
        killAtNs_ = now + ns(kLongestWait);
      }
    }
    for (auto& [pid, h] : hooks_)
      if (!h.killed && now >= h.deadlineNs) {
        message("--on-verdict '" + h.program + "' for " + h.what + " ran longer than " +
                secondsText(kHookSeconds) + ": killed");
        ::kill(-pid, SIGKILL);
        h.killed = true;
      }
  }
  // The programs told of verdicts are let finish (they are killed at their
  // time limit), then the last report.
  while (!hooks_.empty()) {
    const std::int64_t now = wallClockNs();
    const ChildProcesses::Events events = processes_.wait(timeout(now));
    for (const ChildExit& e : events.exited) finished(e);
    for (auto& [pid, h] : hooks_)
      if (!h.killed && wallClockNs() >= h.deadlineNs) {
        ::kill(-pid, SIGKILL);
        h.killed = true;
      }
  }
  maybeReport(wallClockNs(), true);
  std::string summary = "watch stopped: ";
  std::size_t recorded = 0;
  for (const auto& [verdict, n] : verdicts_) recorded += n;
  summary += std::to_string(recorded) + " recorded (";
  for (const char* v : {"pass", "fail", "error"})
    summary += std::to_string(verdicts_[v]) + " " + v + (std::string(v) == "error" ? ")" : ", ");
  if (judgedAgain_) summary += ", " + std::to_string(judgedAgain_) + " judged again";
  if (notRecorded_) summary += ", " + std::to_string(notRecorded_) + " stopped and not recorded";
  message(summary);
  return {};
}

}  // namespace

CommandOutcome watchStand(const WatchCommand& command, const Printer& print, const WatchReload& reload) {
  return Watcher(command, print, reload).run();
}

}  // namespace calib::production
