// Where the text of an ADC file comes from: the file itself, or what a
// gzip or zstd stream in it decompresses to. The compression is recognised
// by the signature at the start of the file, not by its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <system_error>

namespace calib {

enum class Compression { None, Gzip, Zstd };

// "none", "gzip" or "zstd".
std::string_view compressionName(Compression compression);

// The compression whose signature the bytes start with: gzip's, or one of
// zstd's frames (a data frame, or a skippable frame such as the one pzstd
// puts before each of its frames); None for anything else.
Compression compressionOf(std::string_view head);

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Reads up to n (> 0) bytes of text into buffer. Returns how many, 0 at
  // the end, or -1 on failure (see error()).
  virtual long read(char* buffer, std::size_t n) = 0;

  virtual Compression compression() const = 0;
  // Bytes taken from the file so far: the compressed bytes for a
  // compressed file.
  std::uint64_t inputBytes() const { return inputBytes_; }
  // Why read() failed.
  const std::error_code& error() const { return error_; }

 protected:
  long fail(std::error_code error) {
    error_ = error;
    return -1;
  }

  std::uint64_t inputBytes_ = 0;
  std::error_code error_;
};

class Sha256;

// Reads fd (not owned, not closed), decompressing a gzip stream (members
// one after the other, then zero bytes of padding, if any, to the end of
// the file) or zstd frames (one after the other, skippable frames skipped)
// when the file starts with their signature. A stream that is corrupt or
// ends early is a read error, and so is anything after the last gzip
// member but zero bytes. Nothing is read before the first read() but the
// few bytes of the signature. Every byte taken from fd also goes into hash,
// when given (which must outlive the source).
std::unique_ptr<ByteSource> openSource(int fd, Sha256* hash = nullptr);

// The text of memory that outlives the source, read as it is (for tests).
std::unique_ptr<ByteSource> memorySource(std::string_view text);

}  // namespace calib
