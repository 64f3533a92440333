#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/input_file.hpp"

extern char** environ;

namespace calib {

namespace {

constexpr int kTermination[] = {SIGHUP, SIGINT, SIGTERM};

bool ignored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// RAII for the posix_spawn attribute objects.
struct SpawnSetup {
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

}  // namespace

std::string describeExit(const ChildExit& exit) {
  if (exit.signal != 0) {
    const char* name = ::strsignal(exit.signal);
    return "killed by signal " + std::to_string(exit.signal) + (name ? " (" + std::string(name) + ")" : "");
  }
  return "exit status " + std::to_string(exit.exitStatus);
}

ChildProcesses::ChildProcesses() {
  sigemptyset(&waited_);
  sigaddset(&waited_, SIGCHLD);
  for (const int s : kTermination) {
    if (ignored(s)) continue;
    sigaddset(&waited_, s);
    defaulted_.push_back(s);
  }
  // SIGXFSZ too: a program that ignores it, to be told of a file grown
  // past its limit by a write error, leaves each child to choose.
  for (const int s : {SIGCHLD, SIGPIPE, SIGXFSZ}) defaulted_.push_back(s);
  ::pthread_sigmask(SIG_BLOCK, &waited_, &previous_);
  signalFd_ = ::signalfd(-1, &waited_, SFD_CLOEXEC | SFD_NONBLOCK);
  const sigset_t termination = terminationSignals();
  terminationFd_ = ::signalfd(-1, &termination, SFD_CLOEXEC | SFD_NONBLOCK);
}

ChildProcesses::~ChildProcesses() {
  if (signalFd_ >= 0) ::close(signalFd_);
  if (terminationFd_ >= 0) ::close(terminationFd_);
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

sigset_t ChildProcesses::terminationSignals() const {
  sigset_t termination = waited_;
  sigdelset(&termination, SIGCHLD);
  if (reloadOnHangup_) sigdelset(&termination, SIGHUP);
  return termination;
}

int ChildProcesses::pendingTermination() const {
  const sigset_t termination = terminationSignals();
  sigset_t pending;
  if (::sigpending(&pending) != 0) return 0;
  for (const int s : kTermination)
    if (sigismember(&termination, s) && sigismember(&pending, s)) return s;
  return 0;
}

void ChildProcesses::reloadOnHangup() {
  reloadOnHangup_ = true;
  const sigset_t termination = terminationSignals();
  if (terminationFd_ >= 0) ::signalfd(terminationFd_, &termination, 0);
}

Result<pid_t> ChildProcesses::start(const ChildCommand& command) {
  if (command.argv.empty()) return failed("no program to run");
  SpawnSetup setup;
  const auto redirect = [&](int fd, const std::string& path, int flags) {
    ::posix_spawn_file_actions_addopen(&setup.actions, fd, path.empty() ? "/dev/null" : path.c_str(), flags, 0644);
  };
  // The files are opened after the change of directory: relative paths are
  // the child's.
  if (!command.workDir.empty()) ::posix_spawn_file_actions_addchdir_np(&setup.actions, command.workDir.c_str());
  redirect(STDIN_FILENO, command.stdinPath, O_RDONLY);
  if (command.outputToStderr) {
    ::posix_spawn_file_actions_adddup2(&setup.actions, STDERR_FILENO, STDOUT_FILENO);
  } else {
    redirect(STDOUT_FILENO, command.stdoutPath, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(STDERR_FILENO, command.stderrPath, O_WRONLY | O_CREAT | O_TRUNC);
  }
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : defaulted_) sigaddset(&defaults, s);
  ::posix_spawnattr_setsigmask(&setup.attributes, &none);
  ::posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (command.ownProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    ::posix_spawnattr_setpgroup(&setup.attributes, 0);
  }
  ::posix_spawnattr_setflags(&setup.attributes, flags);

  std::vector<char*> argv;
  for (const std::string& a : command.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The program's environment, less what the command sets, and that.
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& own : command.environment) replaced |= own.size() > name.size() && own.starts_with(name) &&
                                                                   own[name.size()] == '=';
    if (!replaced) env.push_back(*e);
  }
  for (const std::string& own : command.environment) env.push_back(const_cast<char*>(own.c_str()));
  env.push_back(nullptr);
  pid_t pid = 0;
  const int result = (command.searchPath ? ::posix_spawnp : ::posix_spawn)(&pid, argv[0], &setup.actions,
                                                                           &setup.attributes, argv.data(), env.data());
  if (result != 0)
    return failed("cannot run '" + command.argv[0] + "'" +
                  (command.workDir.empty() ? "" : " in '" + command.workDir + "'") + ": " + std::strerror(result));
  return pid;
}

ChildProcesses::Events ChildProcesses::wait(double timeoutSeconds, int fd) {
  Events events;
  const auto reap = [&] {
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid <= 0) return;
      ChildExit exit;
      exit.pid = pid;
      if (WIFEXITED(status)) exit.exitStatus = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
      events.exited.push_back(exit);
    }
  };
  // Every signal pending taken: SIGCHLD only wakes the wait.
  const auto takeSignals = [&] {
    timespec zero{0, 0};
    siginfo_t info{};
    for (int s; (s = ::sigtimedwait(&waited_, &info, &zero)) > 0;) {
      if (s == SIGCHLD) continue;
      if (s == SIGHUP && reloadOnHangup_) {
        events.reload = true;
      } else {
        events.terminationSignal = s;
      }
    }
  };
  pollfd fds[2] = {{signalFd_, POLLIN, 0}, {fd, POLLIN, 0}};
  const nfds_t count = fd >= 0 ? 2 : 1;
  reap();
  takeSignals();
  events.readable = fd >= 0 && ::poll(&fds[1], 1, 0) > 0 && (fds[1].revents & POLLIN) != 0;
  if (!events.exited.empty() || events.terminationSignal != 0 || events.reload || events.readable) return events;

  const double wait = std::min(std::max(timeoutSeconds, 0.0), 1e9);
  const double whole = std::floor(wait);
  const timespec timeout{static_cast<time_t>(whole), static_cast<long>((wait - whole) * 1e9)};
  ::ppoll(fds, count, &timeout, nullptr);
  takeSignals();
  reap();
  events.readable = fd >= 0 && (fds[1].revents & POLLIN) != 0;
  return events;
}

int ChildProcesses::takeTermination() {
  const sigset_t termination = terminationSignals();
  timespec zero{0, 0};
  siginfo_t info{};
  const int s = ::sigtimedwait(&termination, &info, &zero);
  return s > 0 ? s : 0;
}

void ChildProcesses::endBy(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
}

namespace {

// A temporary file, removed with the object.
struct TemporaryFile {
  explicit TemporaryFile(std::error_code& error) {
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/calib-command-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
      error = std::error_code(errno, std::generic_category());
      path.clear();
    } else {
      ::close(fd);
    }
  }
  ~TemporaryFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  std::string path;
};

}  // namespace

Result<CommandResult> runCommand(ChildProcesses& processes, ChildCommand command, double timeoutSeconds,
                                 bool finishOnTermination) {
  std::error_code made;
  TemporaryFile out(made);
  TemporaryFile err(made);
  if (made) return failed("cannot make a temporary file: " + made.message());
  command.stdoutPath = out.path;
  command.stderrPath = err.path;
  const Result<pid_t> pid = processes.start(command);
  if (!pid) return pid.error();
  CommandResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (bool ended = false, killed = false; !ended;) {
    const ChildProcesses::Events events = processes.wait(0.25);
    for (const ChildExit& e : events.exited)
      if (e.pid == *pid) {
        result.exit = e;
        ended = true;
      }
    if (events.terminationSignal) result.terminationSignal = events.terminationSignal;
    if (!ended && !killed) {
      result.timedOut = std::chrono::steady_clock::now() > deadline;
      if (result.timedOut || (result.terminationSignal && !finishOnTermination)) {
        ::kill(*pid, SIGKILL);
        killed = true;
      }
    }
  }
  result.out = readWholeFile(out.path).value_or("");
  result.err = readWholeFile(err.path).value_or("");
  return result;
}

}  // namespace calib
