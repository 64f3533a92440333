// Cleaning up after a terminating signal: the table of live temporary
// files, and the handlers that remove them before the process ends.
//
// Every temporary output file is entered in a fixed table for as long as
// it exists. A handler of SIGHUP, SIGINT or SIGTERM removes every file the
// table holds, then ends the process by the same signal, so that whoever
// started it sees how it ended, and a run killed halfway leaves neither a
// partial output nor a stray temporary file behind.
#pragma once

#include <csignal>
#include <string>

namespace calib {

// The signals after which the temporary files are removed.
inline constexpr int kTerminationSignals[] = {SIGHUP, SIGINT, SIGTERM};

inline constexpr int kMaxLiveTemporaries = 16;

// Enters path in the table; returns its entry, or -1 when none is free or
// the path does not fit PATH_MAX (that file is then not removed after a
// signal). Call it with the termination signals blocked, together with
// the creation of the file, so that no signal falls in between.
int registerTemporary(const std::string& path) noexcept;

// Frees the entry (-1 does nothing). Call it once the file has been
// renamed or removed: a handler that removes the path once more in between
// finds nothing there.
void unregisterTemporary(int entry) noexcept;

// Removes every temporary file the table holds at this moment.
// Async-signal-safe.
void removeLiveTemporaries() noexcept;

// The number of entries in use (for tests).
int liveTemporaryCount() noexcept;

// Installs the handler for the termination signals. A signal that is
// ignored at this moment (a run started with nohup, or in the background
// by a shell without job control) stays ignored.
void installTerminationHandlers();

// Blocks the termination signals while alive.
class TerminationSignalsBlocked {
 public:
  TerminationSignalsBlocked();
  ~TerminationSignalsBlocked();
  TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
  TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace calib
