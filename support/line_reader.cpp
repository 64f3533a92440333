#include "support/line_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace calib {

LineReader::LineReader(int fd, std::size_t blockSize)
    : fd_(fd),
      capacity_(blockSize + kMaxLineChars + 1),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_)),
      data_(buffer_.get()) {}

LineReader::LineReader(std::string_view memory) : data_(memory.data()), end_(memory.size()), atEnd_(true) {}

LineReader::Status LineReader::next(std::string_view& line) {
  return fd_ < 0 ? nextFromMemory(line) : nextFromFd(line);
}

LineReader::Status LineReader::nextFromMemory(std::string_view& line) {
  const std::size_t rest = end_ - begin_;
  if (rest == 0) return Status::End;
  const char* start = data_ + begin_;
  const void* lf = std::memchr(start, '\n', rest);
  const std::size_t len = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : rest;
  if (len > kMaxLineChars) return Status::LineTooLong;
  if (!lf) return Status::MissingFinalLineFeed;
  line = std::string_view(start, len);
  begin_ += len + 1;
  consumed_ += len + 1;
  return Status::Line;
}

LineReader::Status LineReader::nextFromFd(std::string_view& line) {
  for (;;) {
    const char* start = data_ + begin_;
    const std::size_t have = end_ - begin_;
    const void* lf = std::memchr(start + scanned_, '\n', have - scanned_);
    if (lf) {
      const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
      if (len > kMaxLineChars) return Status::LineTooLong;
      line = std::string_view(start, len);
      begin_ += len + 1;
      consumed_ += len + 1;
      scanned_ = 0;
      return Status::Line;
    }
    scanned_ = have;
    // Without a line feed in the first kMaxLineChars + 1 bytes, the line is
    // too long whatever follows.
    if (have > kMaxLineChars) return Status::LineTooLong;
    if (atEnd_) return have == 0 ? Status::End : Status::MissingFinalLineFeed;
    const long n = refill();
    if (n < 0) return Status::ReadError;
    if (n == 0) atEnd_ = true;
  }
}

long LineReader::refill() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    if (n >= 0) {
      end_ += static_cast<std::size_t>(n);
      return static_cast<long>(n);
    }
    if (errno != EINTR) {
      error_ = std::error_code(errno, std::generic_category());
      return -1;
    }
  }
}

}  // namespace calib
