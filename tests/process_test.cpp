// Children started with a working directory and redirected output, their
// ends reaped, and a termination signal seen in the same wait.
#include "support/process.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include "test_util.hpp"

namespace calib {
namespace {

using test::readFile;
using test::TempDir;

ChildExit waitFor(ChildProcesses& children, pid_t pid) {
  for (int i = 0; i < 100; ++i)
    for (const ChildExit& e : children.wait(1.0).exited)
      if (e.pid == pid) return e;
  ADD_FAILURE() << "child " << pid << " did not end";
  return {};
}

TEST(ChildProcesses, RunInTheirDirectoryWithTheirOutputsAndReportHowTheyEnded) {
  TempDir dir;
  ChildProcesses children;
  const ChildCommand command{{"/bin/sh", "-c", "pwd; echo oops >&2; exit 3"}, dir.path(), "out.txt", dir / "err.txt"};
  const Result<pid_t> pid = children.start(command);
  ASSERT_TRUE(pid) << pid.error().message;
  const ChildExit e = waitFor(children, *pid);
  EXPECT_EQ(describeExit(e), "exit status 3");
  EXPECT_EQ(readFile(dir / "out.txt"), std::filesystem::canonical(dir.path()).string() + "\n");
  EXPECT_EQ(readFile(dir / "err.txt"), "oops\n");

  const Result<pid_t> killed = children.start({{"/bin/sh", "-c", "kill -9 $$"}, "", "", ""});
  ASSERT_TRUE(killed);
  EXPECT_EQ(describeExit(waitFor(children, *killed)), "killed by signal 9 (Killed)");

  const Result<pid_t> noProgram = children.start({{"/no/such/program"}, "", "", ""});
  ASSERT_FALSE(noProgram);
  EXPECT_EQ(noProgram.error().message, "cannot run '/no/such/program': No such file or directory");
  const Result<pid_t> noDirectory = children.start({{"/bin/true"}, dir / "missing", "", ""});
  ASSERT_FALSE(noDirectory);
  EXPECT_EQ(noDirectory.error().message,
            "cannot run '/bin/true' in '" + (dir / "missing") + "': No such file or directory");
}

TEST(ChildProcesses, ATerminationSignalIsTakenByTheWaitAndChildrenKeepTheirDefaults) {
  TempDir dir;
  {
    ChildProcesses children;
    // The child's own SIGTERM ends it: it was not blocked for the child.
    const Result<pid_t> pid = children.start({{"/bin/sh", "-c", "kill -TERM $$; sleep 5"}, "", "", ""});
    ASSERT_TRUE(pid);
    EXPECT_EQ(waitFor(children, *pid).signal, SIGTERM);

    // A file-size limit's signal too, which the program ignores.
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    const Result<pid_t> limited = children.start({{"/bin/sh", "-c", "kill -XFSZ $$; sleep 5"}, "", "", ""});
    ::signal(SIGXFSZ, previous);
    ASSERT_TRUE(limited);
    EXPECT_EQ(waitFor(children, *limited).signal, SIGXFSZ);

    // A termination signal is seen by a wait on something else (its
    // descriptor readable) and left for the next wait to take.
    pollfd seen{children.terminationFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&seen, 1, 0), 0);
    ::kill(::getpid(), SIGTERM);
    EXPECT_EQ(::poll(&seen, 1, 5000), 1);
    EXPECT_EQ(children.pendingTermination(), SIGTERM);
    EXPECT_EQ(children.wait(5.0).terminationSignal, SIGTERM);
    EXPECT_EQ(children.pendingTermination(), 0);
    EXPECT_EQ(children.takeTermination(), 0);
    ::kill(::getpid(), SIGINT);
    EXPECT_EQ(children.takeTermination(), SIGINT);
    // A SIGHUP that asks to reload is not one.
    children.reloadOnHangup();
    ::kill(::getpid(), SIGHUP);
    EXPECT_EQ(::poll(&seen, 1, 0), 0);
    EXPECT_EQ(children.pendingTermination(), 0);
    EXPECT_TRUE(children.wait(5.0).reload);
  }
  // An ignored signal stays ignored, in the program and in its children.
  ::signal(SIGHUP, SIG_IGN);
  {
    ChildProcesses children;
    ::kill(::getpid(), SIGHUP);
    EXPECT_EQ(children.takeTermination(), 0);
    const Result<pid_t> pid = children.start({{"/bin/sh", "-c", "kill -HUP $$; exit 0"}, "", "", ""});
    ASSERT_TRUE(pid);
    EXPECT_EQ(describeExit(waitFor(children, *pid)), "exit status 0");
  }
  ::signal(SIGHUP, SIG_DFL);
}

}  // namespace
}  // namespace calib
