// Reads a text file line by line in large blocks, with the rules of
// std::istream::getline(buffer, 100000) that ADC files have always been
// read with:
//
//  - a line ends at a line feed, which is not part of it;
//  - a line of kMaxLineChars (99999) characters is still a line; one of
//    100000 or more ends the reading, unread (getline's failbit);
//  - a last line that has characters but no line feed is not a line
//    (getline's eofbit);
//  - NUL bytes are ordinary characters here (the parser stops at them).
//
// Lines are returned as views into the reader's buffer, valid until the
// next call. Memory use is fixed: one block plus one maximal line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <system_error>

#include "support/byte_source.hpp"

namespace calib {

class LineReader {
 public:
  static constexpr std::size_t kMaxLineChars = 99999;
  static constexpr std::size_t kDefaultBlockSize = std::size_t{1} << 20;

  enum class Status {
    Line,                  // a line was read
    End,                   // end of input right after a line feed (or empty input)
    MissingFinalLineFeed,  // end of input inside a line; that line is dropped
    LineTooLong,           // a line of more than kMaxLineChars characters
    ReadError,             // the OS reported an error; see error()
  };

  // Reads from source, which outlives the reader.
  explicit LineReader(ByteSource& source, std::size_t blockSize = kDefaultBlockSize);
  // Reads from memory that outlives the reader.
  explicit LineReader(std::string_view memory);

  Status next(std::string_view& line);

  // Why reading failed (ReadError): the source's error.
  const std::error_code& error() const { return error_; }
  // Bytes consumed so far, line feeds included.
  std::uint64_t bytesConsumed() const { return consumed_; }
  // Bytes taken from the source so far, a line not yet returned included.
  std::uint64_t bytesRead() const { return read_; }
  // The first bytes of the text (up to kHeadBytes), once next() has been
  // called: what the text starts with, whether or not it holds a line.
  static constexpr std::size_t kHeadBytes = 8;
  std::string_view head() const { return std::string_view(head_, headLength_); }

 private:
  Status nextFromMemory(std::string_view& line);
  Status nextFromSource(std::string_view& line);
  // Moves the unread rest to the front and reads one block after it.
  // Returns the byte count read, 0 at end of input, -1 on error.
  long refill();

  ByteSource* source_ = nullptr;
  std::size_t capacity_ = 0;
  std::unique_ptr<char[]> buffer_;
  const char* data_ = nullptr;
  std::size_t begin_ = 0;    // first unread byte
  std::size_t end_ = 0;      // end of valid data
  std::size_t scanned_ = 0;  // bytes from begin_ already known to hold no line feed
  bool atEnd_ = false;
  std::uint64_t consumed_ = 0;
  std::uint64_t read_ = 0;
  char head_[kHeadBytes] = {};
  std::size_t headLength_ = 0;
  std::error_code error_;
};

}  // namespace calib
