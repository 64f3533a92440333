#include "slurm_cluster.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace calib::test {

namespace {

namespace fs = std::filesystem;

// Starts argv with its output in log.
pid_t start(const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::dup2(fd, STDOUT_FILENO);
  ::dup2(fd, STDERR_FILENO);
  // A process group of its own: a Ctrl-C of the test reaches the test only.
  ::setpgid(0, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

// Runs argv to its end; its standard output.
std::string output(const std::vector<std::string>& argv, const std::string& dir) {
  const std::string file = dir + "/command.out";
  const pid_t pid = start(argv, file);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::string text = readFile(file);
  ::unlink(file.c_str());
  return text;
}

// A TCP port of 127.0.0.1 free now.
int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

std::string shortHostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  std::string host = name;
  return host.substr(0, host.find('.'));
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid = -1;
}

}  // namespace

SlurmCluster::SlurmCluster() {
  const std::string dir = dir_.path().string();
  const std::string host = shortHostName();
  const passwd* user = ::getpwuid(::getuid());
  const std::string userName = user ? user->pw_name : "root";
  for (const char* sub : {"munge", "state", "spool", "log"}) fs::create_directories(dir_.path() / sub);
  // munged checks that no one else can write where its socket and key are.
  ::chmod(dir.c_str(), 0755);
  ::chmod((dir + "/munge").c_str(), 0755);
  const std::string key = dir + "/munge/munge.key";
  output({"mungekey", "-c", "-k", key}, dir);
  const std::string socket = dir + "/munge/munge.socket";
  munged_ = start({"munged", "-F", "--socket=" + socket, "--key-file=" + key, "--pid-file=" + dir + "/munge/munged.pid",
                   "--seed-file=" + dir + "/munge/seed", "--log-file=" + dir + "/log/munged.log"},
                  dir + "/log/munged.out");
  for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const std::string conf = dir + "/slurm.conf";
  writeFile(conf,
            "ClusterName=calibtest\n"
            "SlurmctldHost=" +
                host +
                "(127.0.0.1)\n"
                "SlurmctldPort=" +
                std::to_string(freePort()) +
                "\n"
                "SlurmdPort=" +
                std::to_string(freePort()) +
                "\n"
                "AuthType=auth/munge\nCredType=cred/munge\n"
                "AuthInfo=socket=" +
                socket +
                "\n"
                "SlurmUser=" +
                userName + "\nSlurmdUser=" + userName +
                "\n"
                "StateSaveLocation=" +
                dir +
                "/state\n"
                "SlurmdSpoolDir=" +
                dir +
                "/spool\n"
                "SlurmctldPidFile=" +
                dir +
                "/slurmctld.pid\n"
                "SlurmdPidFile=" +
                dir +
                "/slurmd.pid\n"
                "SlurmctldLogFile=" +
                dir +
                "/log/slurmctld.log\n"
                "SlurmdLogFile=" +
                dir +
                "/log/slurmd.log\n"
                "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
                "JobCompType=jobcomp/filetxt\nJobCompLoc=" +
                dir +
                "/log/jobcomp.txt\n"
                "AccountingStorageType=accounting_storage/none\n"
                "SchedulerType=sched/builtin\nSelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
                "SchedulerParameters=batch_sched_delay=0,sched_min_interval=0,kill_invalid_depend\n"
                "ReturnToService=2\nMpiDefault=none\n"
                "NodeName=" +
                host +
                " NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN\n"
                "PartitionName=test Nodes=" +
                host + " Default=YES MaxTime=INFINITE State=UP\n");
  // slurmd of Slurm 22.05 stops at start without a cgroup plugin it can use.
  writeFile(dir + "/cgroup.conf", "CgroupPlugin=cgroup/v1\n");
  if (const char* previous = std::getenv("SLURM_CONF")) {
    hadConf_ = true;
    previousConf_ = previous;
  }
  ::setenv("SLURM_CONF", conf.c_str(), 1);

  controller_ = start({"slurmctld", "-D", "-f", conf}, dir + "/log/slurmctld.out");
  node_ = start({"slurmd", "-D", "-N", host, "-f", conf}, dir + "/log/slurmd.out");
  // Ready when the node is idle (scontrol ping says UP sooner).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    const std::string state = output({"sinfo", "-h", "-o", "%T"}, dir);
    if (state.starts_with("idle")) break;
    if (state.starts_with("down") || state.starts_with("drain"))
      output({"scontrol", "update", "nodename=" + host, "state=resume"}, dir);
    int status = 0;
    for (pid_t* daemon : {&munged_, &controller_, &node_})
      if (::waitpid(*daemon, &status, WNOHANG) == *daemon) {
        *daemon = -1;
        error_ = "a daemon of the cluster stopped at start";
      }
    if (error_.empty() && std::chrono::steady_clock::now() > deadline) error_ = "the node is not idle after 60 s";
    if (!error_.empty()) {
      error_ += ": " + logs();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

SlurmCluster::~SlurmCluster() {
  // Jobs left running end with the cluster.
  if (controller_ > 0) output({"scancel", "--full", "--user=" + std::to_string(::getuid())}, dir_.path().string());
  stop(node_);
  stop(controller_);
  stop(munged_);
  if (hadConf_) {
    ::setenv("SLURM_CONF", previousConf_.c_str(), 1);
  } else {
    ::unsetenv("SLURM_CONF");
  }
}

std::string SlurmCluster::logs() const {
  std::string text;
  for (const char* log : {"munged.out", "munged.log", "slurmctld.out", "slurmctld.log", "slurmd.out", "slurmd.log"})
    text += std::string("\n--- ") + log + "\n" + readFile((dir_.path() / "log" / log).string());
  return text;
}

}  // namespace calib::test
