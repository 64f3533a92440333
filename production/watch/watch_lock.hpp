// One watch per output root: an exclusive lock (flock) on a file in it,
// held for as long as the watch runs and released by the kernel when it
// ends however it ends. The file says who holds it, so that a second watch
// can say so.
#pragma once

#include <string>

#include "support/result.hpp"

namespace calib::production {

inline constexpr const char* kWatchLockName = ".calib-batch-watch.lock";

class WatchLock {
 public:
  // Takes the lock of outDir; a failure says who holds it (process, host,
  // since when) or why it cannot be taken.
  static Result<WatchLock> take(const std::string& outDir);
  WatchLock(WatchLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  WatchLock& operator=(WatchLock&&) = delete;
  WatchLock(const WatchLock&) = delete;
  WatchLock& operator=(const WatchLock&) = delete;
  ~WatchLock();

 private:
  explicit WatchLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace calib::production
