#include "support/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace calib {

std::optional<InputFile> InputFile::open(const std::string& path, std::error_code& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::error_code(errno, std::generic_category());
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = std::error_code(errno, std::generic_category());
    ::close(fd);
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {
    error = std::error_code(EISDIR, std::generic_category());
    ::close(fd);
    return std::nullopt;
  }
  error.clear();
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

std::optional<std::string> readWholeFile(const std::string& path, std::error_code& error) {
  const std::optional<InputFile> file = InputFile::open(path, error);
  if (!file) return std::nullopt;
  std::string text;
  if (file->size()) text.reserve(static_cast<std::size_t>(*file->size()));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t k = ::read(file->fd(), buffer, sizeof buffer);
    if (k < 0) {
      if (errno == EINTR) continue;
      error = std::error_code(errno, std::generic_category());
      return std::nullopt;
    }
    if (k == 0) return text;
    text.append(buffer, static_cast<std::size_t>(k));
  }
}

}  // namespace calib
