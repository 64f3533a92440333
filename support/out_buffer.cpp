#include "support/out_buffer.hpp"

#include <algorithm>
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

std::error_code OutBuffer::flush() {
  drain();
  return error_;
}

}  // namespace calib
