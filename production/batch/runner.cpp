#include "production/runner.hpp"

#include <signal.h>

#include <chrono>
#include <map>

namespace calib::production {

namespace {

constexpr double kProgressSeconds = 0.5;
constexpr double kGraceSeconds = 10;

}  // namespace

RunnerOutcome runChildren(ChildProcesses& processes, const std::vector<ChildCommand>& children, unsigned atOnce,
                          const std::function<bool(std::size_t, const ChildExit&, const std::string&)>& finished,
                          const std::function<void(std::size_t)>& progress) {
  RunnerOutcome outcome;
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  std::size_t done = 0;
  // Every running child and what it started get SIGTERM; those still there
  // after kGraceSeconds get SIGKILL. What they leave is not reported: the
  // runs were stopped, not finished.
  const auto stopAll = [&] {
    for (const auto& [pid, index] : running) ::kill(-pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kGraceSeconds);
    bool killed = false;
    while (!running.empty()) {
      for (const ChildExit& e : processes.wait(kProgressSeconds).exited) running.erase(e.pid);
      if (!killed && std::chrono::steady_clock::now() > deadline) {
        for (const auto& [pid, index] : running) ::kill(-pid, SIGKILL);
        killed = true;
      }
    }
  };
  const auto stopped = [&](int signal) {
    outcome.terminationSignal = signal;
    stopAll();
    return outcome;
  };
  while (next < children.size() || !running.empty()) {
    while (next < children.size() && running.size() < std::max(atOnce, 1u)) {
      if (const int s = processes.takeTermination()) return stopped(s);
      std::string error;
      ChildCommand command = children[next];
      command.ownProcessGroup = true;
      const std::optional<pid_t> pid = processes.start(command, error);
      if (pid) {
        running.emplace(*pid, next);
      } else {
        ++done;
        if (!finished(next, ChildExit{}, error)) {
          outcome.stopped = true;
          stopAll();
          return outcome;
        }
      }
      ++next;
    }
    const ChildProcesses::Events events = processes.wait(kProgressSeconds);
    // A stop first: children that ended together with it were most likely
    // ended by it (a Ctrl-C reaches the whole process group of a terminal).
    if (events.terminationSignal) {
      for (const ChildExit& e : events.exited) running.erase(e.pid);
      return stopped(events.terminationSignal);
    }
    for (const ChildExit& e : events.exited) {
      const auto it = running.find(e.pid);
      if (it == running.end()) continue;
      const std::size_t index = it->second;
      running.erase(it);
      ++done;
      if (!finished(index, e, "")) {
        outcome.stopped = true;
        stopAll();
        return outcome;
      }
    }
    if (progress) progress(done);
  }
  return outcome;
}

}  // namespace calib::production
