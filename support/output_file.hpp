// An output file that appears under its name only once it is complete.
//
// The text goes to a temporary file beside the final path; commit() flushes
// it, syncs it to disk, closes it and renames it over the final path. Until
// then an existing file of that name is untouched, and a run that fails or
// stops early removes its temporary file instead (the destructor), so a
// reader never finds a truncated file where a complete one is expected.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "support/out_buffer.hpp"

namespace calib {

class OutputFile {
 public:
  // Creates the temporary file for finalPath. On failure returns the OS
  // reason. A final path that is an existing directory (EISDIR) or whose
  // name is too long (ENAMETOOLONG) fails here rather than at the rename.
  static std::optional<OutputFile> create(const std::string& finalPath, std::error_code& error);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  OutBuffer& out() { return *buffer_; }
  const std::string& path() const { return finalPath_; }
  const std::string& temporaryPath() const { return tempPath_; }

  // Puts the complete file in place. Returns an empty error_code on success;
  // on failure the temporary file is removed and the final path keeps what
  // it held before. Only the first call does anything; later calls return
  // its result again.
  std::error_code commit();

 private:
  OutputFile(std::string finalPath, std::string tempPath, int fd);
  void discard();

  std::string finalPath_;
  std::string tempPath_;
  int fd_ = -1;
  std::unique_ptr<OutBuffer> buffer_;
  std::error_code commitError_;
};

}  // namespace calib
