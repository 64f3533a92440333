// Runs a list of child processes, a given number at a time, in list order,
// each leading a process group of its own, and reports each as it ends. A
// termination signal stops it: no new child is started, the running ones
// and what they started get SIGTERM (SIGKILL ten seconds later) and are
// waited for without being reported, and the signal is returned for the
// caller to end by.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace calib::production {

struct RunnerOutcome {
  int terminationSignal = 0;  // the signal that stopped the runner, or 0
  bool stopped = false;       // a callback asked to stop
};

// Starts children[i] for i = 0, 1, …, at most atOnce at a time. finished(i,
// exit) is called as each ends (startError set, exit empty, when it could
// not start); it returns false to stop everything. progress(done) is
// called after each and every half second.
RunnerOutcome runChildren(
    ChildProcesses& processes, const std::vector<ChildCommand>& children, unsigned atOnce,
    const std::function<bool(std::size_t, const ChildExit&, const std::string& startError)>& finished,
    const std::function<void(std::size_t done)>& progress);

}  // namespace calib::production
