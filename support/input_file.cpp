#include "support/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace calib {

namespace {

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

}  // namespace

Result<InputFile, std::error_code> InputFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return lastError();
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const std::error_code error = lastError();
    ::close(fd);
    return error;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::error_code(EISDIR, std::generic_category());
  }
  std::optional<std::uint64_t> size;
  if (S_ISREG(st.st_mode)) size = static_cast<std::uint64_t>(st.st_size);
  return InputFile(fd, size);
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    size_ = other.size_;
    other.fd_ = -1;
  }
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::string, std::error_code> readWholeFile(const std::string& path) {
  const Result<InputFile, std::error_code> file = InputFile::open(path);
  if (!file) return file.error();
  std::string text;
  if (file->size()) text.reserve(static_cast<std::size_t>(*file->size()));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t k = ::read(file->fd(), buffer, sizeof buffer);
    if (k < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    if (k == 0) return text;
    text.append(buffer, static_cast<std::size_t>(k));
  }
}

}  // namespace calib
