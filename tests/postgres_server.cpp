#include "postgres_server.hpp"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

namespace calib::test {

namespace {

namespace fs = std::filesystem;

// The newest PostgreSQL's programs.
std::string binDir() {
  std::string best;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error))
    if (fs::exists(entry.path() / "bin/postgres") && entry.path().string() > best) best = entry.path().string();
  return best.empty() ? "" : best + "/bin";
}

// Starts argv with its output in log, as the postgres user when root.
pid_t start(const std::vector<std::string>& argv, const std::string& log) {
  const passwd* user = ::getuid() == 0 ? ::getpwnam("postgres") : nullptr;
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::dup2(fd, STDOUT_FILENO);
  ::dup2(fd, STDERR_FILENO);
  if (user != nullptr && (::setgid(user->pw_gid) != 0 || ::setuid(user->pw_uid) != 0)) ::_exit(126);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

}  // namespace

PostgresServer::PostgresServer() {
  const std::string bin = binDir();
  if (bin.empty()) {
    error_ = "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/postgres)";
    return;
  }
  const std::string dir = dir_.path().string();
  if (::getuid() == 0) {
    const passwd* user = ::getpwnam("postgres");
    if (user == nullptr || ::chown(dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
      error_ = "cannot give " + dir + " to the postgres user";
      return;
    }
  }
  const pid_t initdb = start({bin + "/initdb", "-D", dir + "/data", "-U", "postgres", "--auth=trust", "-E", "UTF8",
                              "--locale=C.UTF-8", "-N"},
                             dir + "/initdb.log");
  int status = 0;
  ::waitpid(initdb, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error_ = "initdb failed: " + readFile(dir + "/initdb.log");
    return;
  }
  pid_ = start({bin + "/postgres", "-D", dir + "/data", "-k", dir, "-p", "5432", "-c", "listen_addresses=", "-c",
                "fsync=off"},
               dir + "/server.log");
  url_ = "postgresql:///postgres?host=" + dir + "&port=5432&user=postgres";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (PQping(url_.c_str()) != PQPING_OK) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
      error_ = "the server did not start: " + readFile(dir + "/server.log");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

PostgresServer::~PostgresServer() {
  if (pid_ <= 0) return;
  freeze(false);
  // SIGINT: the fast shutdown, which ends the sessions and waits for nothing.
  ::kill(pid_, SIGINT);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string PostgresServer::createDatabase(const std::string& name) {
  PGconn* connection = PQconnectdb(url_.c_str());
  PGresult* result = PQexec(connection, ("CREATE DATABASE " + name).c_str());
  PQclear(result);
  PQfinish(connection);
  return "postgresql:///" + name + "?host=" + dir_.path().string() + "&port=5432&user=postgres";
}

void PostgresServer::freeze(bool frozen) {
  if (pid_ <= 0 || frozen == frozen_) return;
  frozen_ = frozen;
  const int signal = frozen ? SIGSTOP : SIGCONT;
  // The server's processes: the postmaster and its children (a backend per
  // connection, and its helpers), by their parent in /proc/PID/stat.
  std::vector<pid_t> pids = {pid_};
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string stat = readFile(entry.path() / "stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    int parent = 0;
    if (std::sscanf(stat.c_str() + end + 1, " %*c %d", &parent) == 1 && parent == pid_)
      pids.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
  }
  // The postmaster first, so that it starts no other meanwhile.
  for (const pid_t pid : pids) ::kill(pid, signal);
}

}  // namespace calib::test
