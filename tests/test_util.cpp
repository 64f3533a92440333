#include "test_util.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace calib::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    path_ = fs::temp_directory_path() / ("calib-test-" + std::to_string(rd()));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  savedCurrent_ = limit.rlim_cur;
  savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = savedCurrent_;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, savedHandler_);
}

std::vector<std::string> filesIn(const std::filesystem::path& dir) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    files.push_back(std::filesystem::relative(entry.path(), dir).string());
  std::sort(files.begin(), files.end());
  return files;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

namespace {

std::string lineAt(const std::string& text, std::size_t pos) {
  const std::size_t start = text.rfind('\n', pos == 0 ? 0 : pos - 1);
  const std::size_t from = (start == std::string::npos || pos == 0) ? 0 : start + 1;
  const std::size_t end = text.find('\n', pos);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

}  // namespace

std::string compareWithGolden(const std::string& name, const std::string& actual) {
  const std::string goldenPath = std::string(CALIB_GOLDEN_DIR) + "/" + name;
  const char* update = std::getenv("CALIB_UPDATE_GOLDEN");
  if (update && std::string(update) == "1") {
    writeFile(goldenPath, actual);
    return "";
  }
  if (!fs::exists(goldenPath)) return "golden file " + goldenPath + " is missing";
  const std::string expected = readFile(goldenPath);
  if (expected == actual) return "";

  fs::create_directories(CALIB_TEST_OUTPUT_DIR);
  const std::string newPath = std::string(CALIB_TEST_OUTPUT_DIR) + "/" + name + ".new";
  writeFile(newPath, actual);
  std::size_t pos = 0;
  while (pos < expected.size() && pos < actual.size() && expected[pos] == actual[pos]) ++pos;
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(expected.begin(), expected.begin() + pos, '\n'));
  return "differs from " + goldenPath + " at line " + std::to_string(line) + "\n  expected: \"" +
         lineAt(expected, pos) + "\"\n  actual:   \"" + lineAt(actual, pos) + "\"\n(all of it in " + newPath + ")";
}

CalibProcess::CalibProcess(const std::string& dir, const std::vector<std::string>& args, const RunOptions& options)
    : options_(options) {
  const std::string outPath = capture_ / "stdout";
  const std::string errPath = capture_ / "stderr";
  // Under a file-size limit standard error goes through a pipe, which the
  // limit does not cut short.
  int errPipe[2] = {-1, -1};
  if (options.fileSizeLimit != 0 && ::pipe2(errPipe, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = options.stdoutMode == Stdout::Discarded ? ::open("/dev/null", O_WRONLY)
                    : options.stdoutMode == Stdout::Full    ? ::open("/dev/full", O_WRONLY)
                                                            : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = errPipe[1] >= 0 ? errPipe[1] : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.stdoutMode == Stdout::Closed) {
      ::close(0);
      ::close(1);
    }
    for (const int sig : {SIGHUP, SIGINT, SIGTERM}) std::signal(sig, SIG_DFL);
    if (options.fileSizeLimit != 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{};
      ::getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = options.fileSizeLimit;
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    std::vector<char*> argv;
    std::string exe = options.program.empty() ? std::string(CALIB_EXE) : options.program;
    argv.push_back(exe.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  if (errPipe[1] >= 0) ::close(errPipe[1]);
  errPipe_ = errPipe[0];
}

CalibProcess::~CalibProcess() {
  if (errPipe_ >= 0) ::close(errPipe_);
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

bool CalibProcess::finished() const {
  if (pid_ <= 0) return true;
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

std::string CalibProcess::outputSoFar() const { return readFile(capture_ / "stdout"); }
std::string CalibProcess::errorSoFar() const { return errPipe_ >= 0 ? "" : readFile(capture_ / "stderr"); }

RunResult CalibProcess::wait() {
  int status = 0;
  rusage usage{};
  RunResult result;
  std::string piped;
  if (errPipe_ >= 0) {
    char chunk[4096];
    for (ssize_t n; (n = ::read(errPipe_, chunk, sizeof chunk)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      piped.append(chunk, static_cast<std::size_t>(n));
    }
  }
  if (pid_ <= 0 || ::wait4(pid_, &status, 0, &usage) != pid_) return result;
  pid_ = -1;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.maxRssKb = usage.ru_maxrss;
  const std::string outPath = capture_ / "stdout";
  if (options_.stdoutTail == 0) {
    result.out = readFile(outPath);
  } else {
    std::ifstream in(outPath, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    const std::streamoff from = std::max<std::streamoff>(0, size - static_cast<std::streamoff>(options_.stdoutTail));
    in.seekg(from);
    result.out.resize(static_cast<std::size_t>(size - from));
    in.read(result.out.data(), size - from);
  }
  result.err = errPipe_ >= 0 ? piped : readFile(capture_ / "stderr");
  return result;
}

RunResult runCalib(const std::string& dir, const std::vector<std::string>& args, const RunOptions& options) {
  CalibProcess process(dir, args, options);
  return process.wait();
}

RunResult runCalib(const std::string& dir, const std::vector<std::string>& args, Stdout stdoutMode) {
  return runCalib(dir, args, RunOptions{stdoutMode});
}

}  // namespace calib::test
