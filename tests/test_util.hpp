// Helpers shared by the tests: temporary directories, file contents,
// golden-file comparison and running the program.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace calib::test {

// A fresh directory below the system temporary directory, removed with the
// object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// While alive, files of this process cannot grow beyond `bytes`: a write
// past it fails with EFBIG (the signal it would raise is ignored), the way
// a full disk makes writes fail with ENOSPC.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(unsigned long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long savedCurrent_;
  void (*savedHandler_)(int);
};

std::string readFile(const std::string& path);
// Every file and directory below dir, as sorted relative paths.
std::vector<std::string> filesIn(const std::filesystem::path& dir);
void writeFile(const std::string& path, const std::string& contents);

// Compares actual with the golden file tests/golden/<name>. On a mismatch
// the result names the first differing line and actual is written to
// <build>/tests/output/<name>.new for a diff. With CALIB_UPDATE_GOLDEN=1 in
// the environment the golden file is rewritten instead.
std::string compareWithGolden(const std::string& name, const std::string& actual);

struct RunResult {
  int exitStatus = -1;  // -1 when ended by a signal
  int termSignal = 0;   // the signal that ended it, or 0
  long maxRssKb = 0;    // peak resident set size of the program
  std::string out;
  std::string err;
};

// Closed also closes standard input, so that the first two files the
// program opens would take descriptors 0 and 1. Discarded sends it to
// /dev/null, Full to /dev/full (every write fails with ENOSPC).
enum class Stdout { Captured, Closed, Discarded, Full };

struct RunOptions {
  Stdout stdoutMode = Stdout::Captured;
  // The program's RLIMIT_FSIZE in bytes, with SIGXFSZ ignored: its writes
  // past that offset of a regular file fail with EFBIG. 0: no limit. Pair it
  // with Stdout::Discarded, or the commentary itself hits the limit.
  unsigned long fileSizeLimit = 0;
  // When not 0, only this many bytes of the end of standard output are
  // kept in RunResult::out.
  std::size_t stdoutTail = 0;
  // The program to run; empty: calib.exe.
  std::string program;
};

// calib.exe (or options.program) started in directory dir with standard input on /dev/null and
// standard output (when captured) and standard error going to files, and
// the termination signals at their defaults.
class CalibProcess {
 public:
  CalibProcess(const std::string& dir, const std::vector<std::string>& args, const RunOptions& options = {});
  ~CalibProcess();  // kills and reaps the program if wait() was not called
  CalibProcess(const CalibProcess&) = delete;
  CalibProcess& operator=(const CalibProcess&) = delete;

  int pid() const { return pid_; }
  // What the program has written to standard output so far.
  std::string outputSoFar() const;
  // What it has written to standard error so far (nothing under a file-size limit).
  std::string errorSoFar() const;
  // Whether the program has ended (not reaped: wait() still reports it).
  bool finished() const;
  // Waits for the program to end.
  RunResult wait();

 private:
  TempDir capture_;
  RunOptions options_;
  int pid_ = -1;
  int errPipe_ = -1;  // standard error under a file-size limit
};

// Runs calib.exe to its end.
RunResult runCalib(const std::string& dir, const std::vector<std::string>& args, const RunOptions& options);
RunResult runCalib(const std::string& dir, const std::vector<std::string>& args, Stdout stdoutMode = Stdout::Captured);

}  // namespace calib::test
