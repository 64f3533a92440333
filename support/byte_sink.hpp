// Where output goes in the end: a function that takes a chunk of bytes and
// reports whether it could be written.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace calib {

// Writes the whole chunk; returns an empty error_code on success.
using ByteSink = std::function<std::error_code(std::string_view)>;

// Writes to a file descriptor (not owned), retrying short and interrupted
// writes; a write that makes no progress fails with EIO.
ByteSink fdSink(int fd);

// Appends to a string that outlives the sink (for tests and in-memory runs).
ByteSink stringSink(std::string& target);

}  // namespace calib
