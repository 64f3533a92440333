#include "production/runner.hpp"

#include <signal.h>

#include <map>

namespace calib::production {

namespace {

constexpr double kProgressSeconds = 0.5;

}  // namespace

RunnerOutcome runChildren(ChildProcesses& processes, const std::vector<ChildSpec>& children, unsigned atOnce,
                          const std::function<bool(std::size_t, const ChildExit&, const std::string&)>& finished,
                          const std::function<void(std::size_t)>& progress) {
  RunnerOutcome outcome;
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  std::size_t done = 0;
  const auto stopAll = [&] {
    for (const auto& [pid, index] : running) ::kill(pid, SIGTERM);
    while (!running.empty())
      for (const ChildExit& e : processes.wait(1.0).exited) running.erase(e.pid);
  };
  while (next < children.size() || !running.empty()) {
    while (next < children.size() && running.size() < std::max(atOnce, 1u)) {
      if (const int s = processes.takeTermination()) {
        outcome.terminationSignal = s;
        stopAll();
        return outcome;
      }
      std::string error;
      const std::optional<pid_t> pid = processes.start(children[next], error);
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
    if (events.terminationSignal) {
      outcome.terminationSignal = events.terminationSignal;
      stopAll();
      return outcome;
    }
    if (progress) progress(done);
  }
  return outcome;
}

}  // namespace calib::production
