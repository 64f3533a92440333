#include "production/watch/watch_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/input_file.hpp"
#include "support/utc_time.hpp"

namespace calib::production {

Result<WatchLock> WatchLock::take(const std::string& outDir) {
  const std::string path = outDir + "/" + kWatchLockName;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return failed("cannot open the lock '" + path + "': " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error != EWOULDBLOCK) return failed("cannot lock '" + path + "': " + std::strerror(error));
    std::string holder = readWholeFile(path).value_or("");
    while (!holder.empty() && holder.back() == '\n') holder.pop_back();
    return failed("another watch works on the output root '" + outDir + "'" +
                  (holder.empty() ? "" : " (" + holder + ")") + "; one watch per output root (lock " + path + ")");
  }
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string holder =
      "process " + std::to_string(::getpid()) + " on " + host + " since " + utcNow() + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, holder.data(), holder.size(), 0) < 0) {
    // The lock holds without the note of who holds it.
  }
  return WatchLock(fd);
}

WatchLock::~WatchLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace calib::production
