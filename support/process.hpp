// Child processes, and the signals that end a program that runs them.
//
// ChildProcesses takes SIGCHLD and the termination signals (SIGHUP, SIGINT,
// SIGTERM) out of asynchronous delivery: they are blocked and waited for,
// together, in wait(). So a program that runs children sees a child's end
// and a request to stop in one place, with no signal handler and no race
// between checking a flag and going to sleep. A termination signal ignored
// when the object is made (nohup) stays ignored, for the program and for
// its children. Children start with the default signal mask and
// dispositions.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "support/result.hpp"

namespace calib {

struct ChildCommand {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::string workDir;            // empty: the current one
  std::string stdoutPath;         // created or truncated; empty: /dev/null
  std::string stderrPath;         // created or truncated; empty: /dev/null
  std::string stdinPath{};        // read from; empty: /dev/null
  // Standard error is the program's own, and standard output goes there
  // too (the paths unused): for a child whose words are messages.
  bool outputToStderr = false;
  std::vector<std::string> environment{};  // "NAME=value" set for the child, over the program's own
  // The child leads a process group of its own, so that it and whatever
  // it starts can be stopped together (kill(-pid, …)) and a terminal's
  // Ctrl-C reaches only the parent, which decides.
  bool ownProcessGroup = false;
  // argv[0] without a '/' is looked for in PATH, as a shell would.
  bool searchPath = false;
};

struct ChildExit {
  pid_t pid = 0;
  int exitStatus = -1;  // when it exited
  int signal = 0;       // when a signal ended it
};

// "exit status 3", "killed by signal 9 (Killed)".
std::string describeExit(const ChildExit& exit);

class ChildProcesses {
 public:
  // Blocks the signals in the calling thread: make it before any other
  // thread, which then inherits the mask.
  ChildProcesses();
  // Restores the signal mask.
  ~ChildProcesses();
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;

  // Starts command; a failure names what failed (the program, a file, the
  // directory) in its message.
  Result<pid_t> start(const ChildCommand& command);

  struct Events {
    std::vector<ChildExit> exited;  // reaped
    int terminationSignal = 0;      // a termination signal that came, or 0
    bool reload = false;            // SIGHUP came, and it asks to reload (reloadOnHangup)
    bool readable = false;          // the descriptor given to wait can be read
  };
  // Waits up to timeoutSeconds for children to end, a termination signal
  // or, when fd is not -1, fd to become readable; returns at once when one
  // of them is already there.
  Events wait(double timeoutSeconds, int fd = -1);

  // A termination signal that came and was not yet taken, else 0; does not
  // wait. For long work between waits. A SIGHUP that asks to reload is not
  // taken here: it stays for the next wait.
  int takeTermination();

  // A termination signal that came, seen without taking it, for a wait on
  // something else than children (a database server's answer): the
  // descriptor is readable while one waits to be taken, and
  // pendingTermination says which (0: none). The next wait or
  // takeTermination still takes it. A SIGHUP that asks to reload is not
  // one.
  int terminationFd() const { return terminationFd_; }
  int pendingTermination() const;

  // From now on SIGHUP asks the program to read its configuration again
  // (Events::reload) instead of ending it: for a program that runs until
  // stopped.
  void reloadOnHangup();

  // Ends the program by signal as if it had not been caught: restores its
  // default action and raises it. Returns only if the signal was ignored.
  static void endBy(int signal);

 private:
  sigset_t terminationSignals() const;  // those of waited_ that end the program

  sigset_t waited_;             // SIGCHLD and the termination signals not ignored
  sigset_t previous_;           // the mask before
  std::vector<int> defaulted_;  // signals the children get their default action for
  int signalFd_ = -1;           // the waited signals as a descriptor, for waits with one
  int terminationFd_ = -1;      // the termination signals alone (terminationFd)
  bool reloadOnHangup_ = false;
};

// A command run to its end, with what it wrote.
struct CommandResult {
  ChildExit exit;
  std::string out;            // its standard output
  std::string err;            // its standard error
  bool timedOut = false;      // killed after the time allowed
  int terminationSignal = 0;  // a termination signal that came meanwhile (the command was killed)
};

// Runs command (its output paths are replaced) and waits for it, at most
// timeoutSeconds, then SIGKILL. A termination signal meanwhile kills it
// too, unless finishOnTermination: then it is let finish (a command whose
// effect must be known, such as a submission) and the signal is only
// reported. For short commands while no other child runs: the wait reaps
// every child. A failure, with the reason, when it could not start.
Result<CommandResult> runCommand(ChildProcesses& processes, ChildCommand command, double timeoutSeconds,
                                 bool finishOnTermination = false);

}  // namespace calib
