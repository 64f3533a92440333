// A file opened for reading, owned for the lifetime of the object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "support/result.hpp"

namespace calib {

class InputFile {
 public:
  // Opens path for reading. A directory is refused with EISDIR (open(2)
  // would accept it and only the first read would fail).
  static Result<InputFile, std::error_code> open(const std::string& path);

  InputFile(InputFile&& other) noexcept : fd_(other.fd_), size_(other.size_) { other.fd_ = -1; }
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  int fd() const { return fd_; }
  // Size in bytes at opening; unset for pipes and devices.
  std::optional<std::uint64_t> size() const { return size_; }

 private:
  InputFile(int fd, std::optional<std::uint64_t> size) : fd_(fd), size_(size) {}
  int fd_ = -1;
  std::optional<std::uint64_t> size_;
};

// The whole content of the file at path.
Result<std::string, std::error_code> readWholeFile(const std::string& path);

}  // namespace calib
