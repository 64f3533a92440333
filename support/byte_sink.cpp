#include "support/byte_sink.hpp"

#include <unistd.h>

#include <cerrno>

namespace calib {

ByteSink fdSink(int fd) {
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

ByteSink stringSink(std::string& target) {
  return [&target](std::string_view chunk) -> std::error_code {
    target.append(chunk);
    return {};
  };
}

}  // namespace calib
