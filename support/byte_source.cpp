#include "support/byte_source.hpp"

#include <isa-l/igzip_lib.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "support/sha256.hpp"

namespace calib {

namespace {

constexpr std::size_t kInputBlock = std::size_t{1} << 18;

std::error_code osError() { return {errno, std::generic_category()}; }

// The raw bytes of the file: first the few already read to see the
// signature, then the rest from fd.
class RawInput {
 public:
  RawInput(int fd, std::string_view head, Sha256* hash) : fd_(fd), hash_(hash), headLength_(head.size()) {
    std::memcpy(head_, head.data(), head.size());
  }

  // As read(2), retrying interrupted reads. Every byte passes the hash, if
  // there is one, once and in order.
  long read(unsigned char* buffer, std::size_t n) {
    long k = 0;
    if (headUsed_ < headLength_) {
      k = static_cast<long>(std::min(n, headLength_ - headUsed_));
      std::memcpy(buffer, head_ + headUsed_, static_cast<std::size_t>(k));
      headUsed_ += static_cast<std::size_t>(k);
    } else {
      do {
        k = ::read(fd_, buffer, n);
      } while (k < 0 && errno == EINTR);
    }
    if (k > 0 && hash_ != nullptr) hash_->update(buffer, static_cast<std::size_t>(k));
    return k;
  }

 private:
  int fd_;
  Sha256* hash_;
  char head_[8];
  std::size_t headLength_;
  std::size_t headUsed_ = 0;
};

class FdSource final : public ByteSource {
 public:
  FdSource(int fd, std::string_view head, Sha256* hash) : input_(fd, head, hash) {}
  long read(char* buffer, std::size_t n) override {
    const long k = input_.read(reinterpret_cast<unsigned char*>(buffer), n);
    if (k < 0) return fail(osError());
    inputBytes_ += static_cast<std::uint64_t>(k);
    return k;
  }
  Compression compression() const override { return Compression::None; }

 private:
  RawInput input_;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text) : text_(text) {}
  long read(char* buffer, std::size_t n) override {
    const std::size_t k = std::min(n, text_.size());
    std::memcpy(buffer, text_.data(), k);
    text_.remove_prefix(k);
    inputBytes_ += k;
    return static_cast<long>(k);
  }
  Compression compression() const override { return Compression::None; }

 private:
  std::string_view text_;
};

// The errors of a decompressor: its own codes, and one for data that end
// in the middle of a stream.
class DecompressionCategory : public std::error_category {
 public:
  explicit DecompressionCategory(Compression format) : format_(format) {}
  const char* name() const noexcept override { return format_ == Compression::Gzip ? "gzip" : "zstd"; }
  std::string message(int code) const override {
    const std::string what(name());
    if (code == kTruncated) return "the " + what + " data end in the middle of a stream";
    if (format_ == Compression::Zstd)
      return "corrupt zstd data: " + std::string(ZSTD_getErrorString(static_cast<ZSTD_ErrorCode>(code)));
    switch (code) {
      case ISAL_INVALID_BLOCK:
        return "corrupt gzip data: an invalid deflate block";
      case ISAL_INVALID_SYMBOL:
        return "corrupt gzip data: an invalid deflate symbol";
      case ISAL_INVALID_LOOKBACK:
        return "corrupt gzip data: a distance too far back";
      case ISAL_INVALID_WRAPPER:
        return "corrupt gzip data: an invalid gzip header";
      case ISAL_UNSUPPORTED_METHOD:
        return "corrupt gzip data: an unsupported compression method";
      case ISAL_INCORRECT_CHECKSUM:
        return "corrupt gzip data: the checksum does not match";
      default:
        return "corrupt gzip data";
    }
  }
  static constexpr int kTruncated = 1000000;

 private:
  Compression format_;
};

std::error_code decompressionError(Compression format, int code) {
  static const DecompressionCategory gzip(Compression::Gzip);
  static const DecompressionCategory zstd(Compression::Zstd);
  return {code, format == Compression::Gzip ? gzip : zstd};
}

// The compressed bytes of the file in blocks, for a decompressor.
class CompressedInput {
 public:
  CompressedInput(int fd, std::string_view head, Sha256* hash)
      : raw_(fd, head, hash), buffer_(std::make_unique_for_overwrite<unsigned char[]>(kInputBlock)) {}

  // Reads the next block when the last is used up. False on a read error.
  bool refill(std::error_code& error) {
    if (!exhausted() || atEnd_) return true;
    const long k = raw_.read(buffer_.get(), kInputBlock);
    if (k < 0) {
      error = osError();
      return false;
    }
    atEnd_ = k == 0;
    next_ = buffer_.get();
    available_ = static_cast<std::size_t>(k);
    read_ += static_cast<std::uint64_t>(k);
    return true;
  }
  bool exhausted() const { return available_ == 0; }
  bool atEnd() const { return atEnd_ && available_ == 0; }
  // The bytes consumed so far, given how many of the block are left.
  std::uint64_t consumed() const { return read_ - available_; }

  unsigned char* next_ = nullptr;
  std::size_t available_ = 0;

 private:
  RawInput raw_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::uint64_t read_ = 0;
  bool atEnd_ = false;
};

// gzip with ISA-L's inflate, member after member.
class GzipSource final : public ByteSource {
 public:
  GzipSource(int fd, std::string_view head, Sha256* hash) : input_(fd, head, hash) { start(); }

  long read(char* buffer, std::size_t n) override {
    if (pending_) return fail(pending_);
    state_.next_out = reinterpret_cast<std::uint8_t*>(buffer);
    state_.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX));
    const std::uint32_t room = state_.avail_out;
    while (state_.avail_out == room) {
      if (input_.exhausted()) {
        std::error_code error;
        if (!input_.refill(error)) return fail(error);
      }
      if (state_.block_state == ISAL_BLOCK_FINISH) {
        if (input_.atEnd()) return 0;  // the last member is complete
        if (*input_.next_ == 0) return skipPadding();
        // Another member follows; starting over keeps where output goes.
        std::uint8_t* const out = state_.next_out;
        start();
        state_.next_out = out;
        state_.avail_out = room;
      }
      state_.next_in = input_.next_;
      state_.avail_in = static_cast<std::uint32_t>(std::min<std::size_t>(input_.available_, UINT32_MAX));
      const std::uint32_t offered = state_.avail_in;
      const int result = isal_inflate(&state_);
      input_.next_ = state_.next_in;
      input_.available_ -= offered - state_.avail_in;
      inputBytes_ = input_.consumed();
      if (result < 0) {
        // What was decompressed before the fault is delivered first.
        pending_ = decompressionError(Compression::Gzip, result);
        break;
      }
      // Nothing more will come, and the member is not complete.
      if (state_.avail_out == room && input_.atEnd() && state_.block_state != ISAL_BLOCK_FINISH)
        return fail(decompressionError(Compression::Gzip, DecompressionCategory::kTruncated));
    }
    if (state_.avail_out == room) return fail(pending_);
    return static_cast<long>(room - state_.avail_out);
  }
  Compression compression() const override { return Compression::Gzip; }

 private:
  void start() {
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_GZIP;
  }

  // Zero bytes after a member that run to the end of the file are padding
  // (tapes and some writers fill the last block), which gzip -d passes
  // over too: 0, the end of the text. A byte that is not zero after them
  // begins no gzip header: an error, as any bytes after a member that are
  // not a member are.
  long skipPadding() {
    for (;;) {
      unsigned char* const end = input_.next_ + input_.available_;
      input_.next_ = std::find_if(input_.next_, end, [](unsigned char c) { return c != 0; });
      input_.available_ = static_cast<std::size_t>(end - input_.next_);
      inputBytes_ = input_.consumed();
      if (input_.available_ > 0) {
        pending_ = decompressionError(Compression::Gzip, ISAL_INVALID_WRAPPER);
        return fail(pending_);
      }
      std::error_code error;
      if (!input_.refill(error)) return fail(error);
      if (input_.atEnd()) return 0;
    }
  }

  CompressedInput input_;
  inflate_state state_;
  std::error_code pending_;  // a fault met after some output, reported next
};

// zstd with its own library; frames one after the other are read on, and
// the library passes over skippable frames (pzstd's, before each of its
// frames) as a frame that gives no text.
class ZstdSource final : public ByteSource {
 public:
  ZstdSource(int fd, std::string_view head, Sha256* hash) : input_(fd, head, hash), stream_(ZSTD_createDStream()) {}
  ~ZstdSource() override { ZSTD_freeDStream(stream_); }
  ZstdSource(const ZstdSource&) = delete;
  ZstdSource& operator=(const ZstdSource&) = delete;

  long read(char* buffer, std::size_t n) override {
    if (stream_ == nullptr) return fail(std::make_error_code(std::errc::not_enough_memory));
    if (pending_) return fail(pending_);
    // A block at a time: a fault found in a later block would otherwise
    // take the output of the earlier ones with it.
    ZSTD_outBuffer out{buffer, std::min(n, ZSTD_DStreamOutSize()), 0};
    for (;;) {
      if (input_.exhausted()) {
        std::error_code error;
        if (!input_.refill(error)) return fail(error);
      }
      if (input_.atEnd() && frameDone_) return 0;
      ZSTD_inBuffer in{input_.next_, input_.available_, 0};
      const std::size_t hint = ZSTD_decompressStream(stream_, &out, &in);
      input_.next_ += in.pos;
      input_.available_ -= in.pos;
      inputBytes_ = input_.consumed();
      if (ZSTD_isError(hint)) {
        const std::error_code error = decompressionError(Compression::Zstd, ZSTD_getErrorCode(hint));
        if (out.pos == 0) return fail(error);
        // What was decompressed before the fault is delivered first.
        pending_ = error;
        return static_cast<long>(out.pos);
      }
      // 0: the frame is complete, and all of it delivered.
      frameDone_ = hint == 0;
      if (out.pos > 0) return static_cast<long>(out.pos);
      if (input_.atEnd())
        return frameDone_ ? 0 : fail(decompressionError(Compression::Zstd, DecompressionCategory::kTruncated));
    }
  }
  Compression compression() const override { return Compression::Zstd; }

 private:
  CompressedInput input_;
  ZSTD_DStream* stream_;
  bool frameDone_ = false;   // the last frame begun is complete
  std::error_code pending_;  // a fault met after some output, reported next
};

}  // namespace

std::string_view compressionName(Compression compression) {
  switch (compression) {
    case Compression::Gzip:
      return "gzip";
    case Compression::Zstd:
      return "zstd";
    case Compression::None:
      break;
  }
  return "none";
}

Compression compressionOf(std::string_view head) {
  const auto byte = [head](std::size_t i) { return static_cast<unsigned char>(head[i]); };
  if (head.size() >= 2 && byte(0) == 0x1f && byte(1) == 0x8b) return Compression::Gzip;
  if (head.size() < 4) return Compression::None;
  // zstd's magic numbers, little-endian: 0xFD2FB528 begins a frame, and
  // 0x184D2A50 to 0x184D2A5F a skippable frame.
  if (byte(0) == 0x28 && byte(1) == 0xb5 && byte(2) == 0x2f && byte(3) == 0xfd) return Compression::Zstd;
  if ((byte(0) & 0xf0) == 0x50 && byte(1) == 0x2a && byte(2) == 0x4d && byte(3) == 0x18) return Compression::Zstd;
  return Compression::None;
}

std::unique_ptr<ByteSource> openSource(int fd, Sha256* hash) {
  // The signature: up to four bytes, fewer only at the end of the file (a
  // pipe may deliver them one by one). A read error here is met again, and
  // reported, by the first read() of the plain source.
  char head[4];
  std::size_t have = 0;
  while (have < sizeof head) {
    const ssize_t k = ::read(fd, head + have, sizeof head - have);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    have += static_cast<std::size_t>(k);
  }
  const std::string_view start(head, have);
  switch (compressionOf(start)) {
    case Compression::Gzip:
      return std::make_unique<GzipSource>(fd, start, hash);
    case Compression::Zstd:
      return std::make_unique<ZstdSource>(fd, start, hash);
    case Compression::None:
      break;
  }
  return std::make_unique<FdSource>(fd, start, hash);
}

std::unique_ptr<ByteSource> memorySource(std::string_view text) { return std::make_unique<MemorySource>(text); }

}  // namespace calib
