#include "production/watch/tree_watch.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// A file appears (created, renamed into place), is written and closed, or
// is touched; a file or directory goes. Plain modifications are not
// followed: a file being written is looked at when it is closed, or when
// its settle time is up.
constexpr std::uint32_t kEvents = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

}  // namespace

Result<TreeWatch> TreeWatch::create() {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return failed(std::string("cannot watch files (inotify): ") + std::strerror(errno));
  return TreeWatch(fd);
}

TreeWatch::TreeWatch(TreeWatch&& other) noexcept : fd_(other.fd_), dirs_(std::move(other.dirs_)) { other.fd_ = -1; }

TreeWatch& TreeWatch::operator=(TreeWatch&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    dirs_ = std::move(other.dirs_);
    other.fd_ = -1;
  }
  return *this;
}

TreeWatch::~TreeWatch() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> TreeWatch::addTree(const std::string& root) {
  std::vector<std::string> problems;
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    const int wd = ::inotify_add_watch(fd_, dir.c_str(), kEvents);
    if (wd < 0) {
      problems.push_back("cannot watch '" + dir + "': " + std::strerror(errno) +
                         (errno == ENOSPC ? " (the limit fs.inotify.max_user_watches; rescans still find its files)"
                                          : ""));
      continue;
    }
    dirs_[wd] = dir;
    std::error_code error;
    for (fs::directory_iterator it(dir, error); !error && it != fs::directory_iterator(); it.increment(error)) {
      std::error_code kind;
      if (!it->is_symlink(kind) && it->is_directory(kind)) pending.push_back(it->path().string());
    }
  }
  return problems;
}

TreeWatch::Changes TreeWatch::read() {
  Changes changes;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        changes.rescan = true;
        changes.problems.push_back("too many changes at once for inotify's queue");
        continue;
      }
      if (event->mask & IN_IGNORED) {
        dirs_.erase(event->wd);
        continue;
      }
      const auto dir = dirs_.find(event->wd);
      if (dir == dirs_.end()) continue;
      if (event->mask & IN_MOVE_SELF) {
        // A watched directory moved away: its old path names nothing now
        // (where it went, if below a root, was seen as a directory that came).
        ::inotify_rm_watch(fd_, event->wd);
        dirs_.erase(dir);
        continue;
      }
      if (event->len == 0) continue;
      const std::string path = dir->second + "/" + event->name;
      if (event->mask & IN_ISDIR) {
        // A directory that came (made, or moved in with its files): watched,
        // and its files are looked at, those written before the watch too.
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          for (std::string& p : addTree(path)) changes.problems.push_back(std::move(p));
          std::error_code error;
          for (fs::recursive_directory_iterator it(path, error); !error && it != fs::recursive_directory_iterator();
               it.increment(error))
            if (std::error_code kind; it->is_regular_file(kind)) changes.files.push_back(it->path().string());
        }
        continue;
      }
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
        changes.removed.push_back(path);
      } else {
        changes.files.push_back(path);
      }
    }
  }
  return changes;
}

}  // namespace calib::production
