// A large write buffer in front of a byte sink (a file descriptor, or
// memory in tests).
//
// Text is formatted straight into the buffer: reserve() returns room for a
// bounded number of bytes, the caller writes there with the support/format
// writers and hands the new end to commit(). Nothing is allocated after
// construction. The first failing write is remembered and later output is
// dropped, so a full disk costs one error report, not one per line.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <system_error>

#include "support/byte_sink.hpp"

namespace calib {

class OutBuffer {
 public:
  using Sink = ByteSink;

  static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 20;
  // Every buffer holds at least this much, so any reserve(n) with n up to
  // kMinCapacity is safe whatever capacity was asked for.
  static constexpr std::size_t kMinCapacity = 4096;

  explicit OutBuffer(Sink sink, std::size_t capacity = kDefaultCapacity);
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;

  // Room for at least n bytes (n <= kMinCapacity). Flushes first if needed.
  char* reserve(std::size_t n) {
    if (capacity_ - used_ < n) drain();
    return data_.get() + used_;
  }
  // Marks the bytes up to end, which lies inside the last reservation, as
  // written.
  void commit(char* end) { used_ = static_cast<std::size_t>(end - data_.get()); }

  // Appends text of any length.
  void put(std::string_view text);

  // Hands everything buffered to the sink. Returns the first write error,
  // which stays once any write has failed.
  std::error_code flush();

  // When set, flushLine() flushes: used for a terminal, where a person
  // watches the commentary line by line.
  void setLineBuffered(bool on) { lineBuffered_ = on; }
  void flushLine() {
    if (lineBuffered_) flush();
  }

  std::size_t capacity() const { return capacity_; }
  // The first write error, or an empty error_code.
  const std::error_code& error() const { return error_; }

 private:
  void drain();

  Sink sink_;
  std::size_t capacity_;
  std::unique_ptr<char[]> data_;
  std::size_t used_ = 0;
  bool lineBuffered_ = false;
  std::error_code error_;
};

}  // namespace calib
