#include "support/out_buffer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace calib {

OutBuffer::OutBuffer(Sink sink, std::size_t capacity)
    : sink_(std::move(sink)),
      capacity_(std::max(capacity, kMinCapacity)),
      data_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

void OutBuffer::put(std::string_view text) {
  while (!text.empty()) {
    if (used_ == capacity_) drain();
    const std::size_t n = std::min(text.size(), capacity_ - used_);
    std::memcpy(data_.get() + used_, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
  }
}

void OutBuffer::drain() {
  if (used_ > 0 && !error_) error_ = sink_(std::string_view(data_.get(), used_));
  used_ = 0;
}

bool OutBuffer::flush() {
  drain();
  return !error_;
}

OutBuffer::Sink fdSink(int fd) {
  return [fd](std::string_view chunk) -> std::error_code {
    while (!chunk.empty()) {
      const ssize_t n = ::write(fd, chunk.data(), chunk.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return {errno, std::generic_category()};
      }
      // A write that makes no progress would otherwise be retried forever.
      if (n == 0) return {EIO, std::generic_category()};
      chunk.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
  };
}

OutBuffer::Sink stringSink(std::string& target) {
  return [&target](std::string_view chunk) -> std::error_code {
    target.append(chunk);
    return {};
  };
}

}  // namespace calib
