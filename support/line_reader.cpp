#include "support/line_reader.hpp"

#include <algorithm>
#include <cstring>

namespace calib {

LineReader::LineReader(ByteSource& source, std::size_t blockSize)
    : source_(&source),
      capacity_(blockSize + kMaxLineChars + 1),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_)),
      data_(buffer_.get()) {}

LineReader::LineReader(std::string_view memory)
    : data_(memory.data()), end_(memory.size()), atEnd_(true), read_(memory.size()) {
  headLength_ = std::min(memory.size(), kHeadBytes);
  if (headLength_ > 0) std::memcpy(head_, memory.data(), headLength_);
}

LineReader::Status LineReader::next(std::string_view& line) {
  return source_ == nullptr ? nextFromMemory(line) : nextFromSource(line);
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

LineReader::Status LineReader::nextFromSource(std::string_view& line) {
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
  const long n = source_->read(buffer_.get() + end_, capacity_ - end_);
  if (n < 0) {
    error_ = source_->error();
    return -1;
  }
  if (headLength_ < kHeadBytes && read_ < kHeadBytes) {
    const std::size_t k = std::min(kHeadBytes - headLength_, static_cast<std::size_t>(n));
    std::memcpy(head_ + headLength_, buffer_.get() + end_, k);
    headLength_ += k;
  }
  end_ += static_cast<std::size_t>(n);
  read_ += static_cast<std::uint64_t>(n);
  return n;
}

}  // namespace calib
