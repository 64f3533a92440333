// Compressing output as gzip (zlib's deflate) or zstd: for writing
// compressed sample files, which calib reads as it reads text.
#pragma once

#include <memory>
#include <system_error>

#include "support/byte_sink.hpp"
#include "support/byte_source.hpp"

namespace calib {

class Compressor {
 public:
  // Compresses into next; format Gzip or Zstd.
  Compressor(Compression format, ByteSink next);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // What to give the text to: each chunk is compressed and passed on.
  ByteSink sink();
  // Ends the stream (the gzip trailer, the end of the zstd frame). Returns
  // the first error, of the compression or of next.
  std::error_code finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace calib
