#include "support/compressor.hpp"

#include <zlib.h>
#include <zstd.h>

#include <vector>

namespace calib {

struct Compressor::State {
  Compression format;
  ByteSink next;
  z_stream gzip{};
  ZSTD_CStream* zstd = nullptr;
  std::vector<char> out = std::vector<char>(std::size_t{1} << 16);
  std::error_code error;
  bool finished = false;

  // Compresses input; with end, ends the stream.
  void compress(std::string_view input, bool end) {
    if (error) return;
    if (format == Compression::Gzip) {
      gzip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
      gzip.avail_in = static_cast<uInt>(input.size());
      int result;
      do {
        gzip.next_out = reinterpret_cast<Bytef*>(out.data());
        gzip.avail_out = static_cast<uInt>(out.size());
        result = deflate(&gzip, end ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) {
          error = std::make_error_code(std::errc::io_error);
          return;
        }
        pass(out.size() - gzip.avail_out);
      } while (gzip.avail_out == 0 || (end && result != Z_STREAM_END));
    } else {
      ZSTD_inBuffer in{input.data(), input.size(), 0};
      std::size_t remaining;
      do {
        ZSTD_outBuffer buffer{out.data(), out.size(), 0};
        remaining = ZSTD_compressStream2(zstd, &buffer, &in, end ? ZSTD_e_end : ZSTD_e_continue);
        if (ZSTD_isError(remaining)) {
          error = std::make_error_code(std::errc::io_error);
          return;
        }
        pass(buffer.pos);
      } while (in.pos < in.size || (end && remaining != 0));
    }
  }
  void pass(std::size_t n) {
    if (n > 0 && !error) error = next(std::string_view(out.data(), n));
  }
};

Compressor::Compressor(Compression format, ByteSink next) : state_(std::make_unique<State>()) {
  state_->format = format;
  state_->next = std::move(next);
  if (format == Compression::Gzip) {
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&state_->gzip, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      state_->error = std::make_error_code(std::errc::not_enough_memory);
  } else {
    state_->zstd = ZSTD_createCStream();
    if (state_->zstd == nullptr) state_->error = std::make_error_code(std::errc::not_enough_memory);
  }
}

Compressor::~Compressor() {
  if (state_->format == Compression::Gzip) {
    deflateEnd(&state_->gzip);
  } else {
    ZSTD_freeCStream(state_->zstd);
  }
}

ByteSink Compressor::sink() {
  return [state = state_.get()](std::string_view chunk) {
    state->compress(chunk, false);
    return state->error;
  };
}

std::error_code Compressor::finish() {
  if (!state_->finished) {
    state_->finished = true;
    state_->compress({}, true);
  }
  return state_->error;
}

}  // namespace calib
