// Helpers shared by the tests: temporary directories, file contents,
// golden-file comparison and running the program.
#pragma once

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
void writeFile(const std::string& path, const std::string& contents);

// Compares actual with the golden file tests/golden/<name>. On a mismatch
// the result names the first differing line and actual is written to
// <build>/tests/output/<name>.new for a diff. With CALIB_UPDATE_GOLDEN=1 in
// the environment the golden file is rewritten instead.
std::string compareWithGolden(const std::string& name, const std::string& actual);

struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Closed also closes standard input, so that the first two files the
// program opens would take descriptors 0 and 1.
enum class Stdout { Captured, Closed };

// Runs calib.exe with args in directory dir, standard input on /dev/null
// and standard output captured (or closed).
RunResult runCalib(const std::string& dir, const std::vector<std::string>& args, Stdout stdoutMode = Stdout::Captured);

}  // namespace calib::test
