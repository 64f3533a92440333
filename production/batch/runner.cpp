#include "production/batch/runner.hpp"

#include <signal.h>

#include <chrono>
#include <map>
#include <optional>

namespace calib::production {

namespace {

constexpr double kProgressSeconds = 0.5;
constexpr double kGraceSeconds = 10;

// The children of one runChildren call: those running, by process id.
class Running {
 public:
  explicit Running(ChildProcesses& processes) : processes_(processes) {}

  std::size_t size() const { return children_.size(); }
  void add(pid_t pid, std::size_t index) { children_.emplace(pid, index); }
  // The index of an ended child of ours, which is taken out.
  std::optional<std::size_t> ended(pid_t pid) {
    const auto it = children_.find(pid);
    if (it == children_.end()) return std::nullopt;
    const std::size_t index = it->second;
    children_.erase(it);
    return index;
  }
  // Every running child and what it started get SIGTERM; those still there
  // after kGraceSeconds get SIGKILL. What they leave is not reported: the
  // runs were stopped, not finished.
  void stopAll() {
    for (const auto& [pid, index] : children_) ::kill(-pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kGraceSeconds);
    bool killed = false;
    while (!children_.empty()) {
      for (const ChildExit& e : processes_.wait(kProgressSeconds).exited) children_.erase(e.pid);
      if (!killed && std::chrono::steady_clock::now() > deadline) {
        for (const auto& [pid, index] : children_) ::kill(-pid, SIGKILL);
        killed = true;
      }
    }
  }

 private:
  ChildProcesses& processes_;
  std::map<pid_t, std::size_t> children_;
};

}  // namespace

RunnerOutcome runChildren(ChildProcesses& processes, const std::vector<ChildCommand>& children, unsigned atOnce,
                          const std::function<bool(std::size_t, const ChildExit&, const std::string&)>& finished,
                          const std::function<void(std::size_t)>& progress) {
  RunnerOutcome outcome;
  Running running(processes);
  std::size_t next = 0;
  std::size_t done = 0;
  // A child's end reported; false when the callback asks to stop.
  const auto report = [&](std::size_t index, const ChildExit& exit, const std::string& startError) {
    ++done;
    if (finished(index, exit, startError)) return true;
    outcome.stopped = true;
    running.stopAll();
    return false;
  };
  while (next < children.size() || running.size() > 0) {
    for (; next < children.size() && running.size() < std::max(atOnce, 1u); ++next) {
      if (const int s = processes.takeTermination()) {
        outcome.terminationSignal = s;
        running.stopAll();
        return outcome;
      }
      ChildCommand command = children[next];
      command.ownProcessGroup = true;
      const Result<pid_t> pid = processes.start(command);
      if (pid) {
        running.add(*pid, next);
      } else if (!report(next, ChildExit{}, pid.error().message)) {
        return outcome;
      }
    }
    const ChildProcesses::Events events = processes.wait(kProgressSeconds);
    // A stop first: children that ended together with it were most likely
    // ended by it (a Ctrl-C reaches the whole process group of a terminal).
    if (events.terminationSignal) {
      for (const ChildExit& e : events.exited) (void)running.ended(e.pid);
      outcome.terminationSignal = events.terminationSignal;
      running.stopAll();
      return outcome;
    }
    for (const ChildExit& e : events.exited)
      if (const std::optional<std::size_t> index = running.ended(e.pid); index && !report(*index, e, ""))
        return outcome;
    if (progress) progress(done);
  }
  return outcome;
}

}  // namespace calib::production
