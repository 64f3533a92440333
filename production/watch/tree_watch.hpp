// The stand's trees watched with inotify: every directory below the roots
// (new ones followed as they appear), and what happens to the files in
// them. It says which files may have changed; whether they are complete is
// decided elsewhere (batch/readiness.hpp). When events were lost (the
// kernel's queue overflowed, a directory could not be watched) it asks for
// a rescan of everything.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/result.hpp"

namespace calib::production {

class TreeWatch {
 public:
  // An inotify instance with nothing watched yet; a failure says why (the
  // limit of instances, say).
  static Result<TreeWatch> create();
  TreeWatch(TreeWatch&& other) noexcept;
  TreeWatch& operator=(TreeWatch&& other) noexcept;
  TreeWatch(const TreeWatch&) = delete;
  TreeWatch& operator=(const TreeWatch&) = delete;
  ~TreeWatch();

  int fd() const { return fd_; }

  // Watches dir and every directory below it. Directories that cannot be
  // watched are returned with the reason (the limit of watches, say).
  std::vector<std::string> addTree(const std::string& dir);

  struct Changes {
    std::vector<std::string> files;     // written, moved in, touched, or in a directory that came
    std::vector<std::string> removed;   // deleted or moved away
    bool rescan = false;                // events were lost: look at everything again
    std::vector<std::string> problems;  // why, when they were
  };
  // Reads the events that are there (never blocks).
  Changes read();

  std::size_t directories() const { return dirs_.size(); }

 private:
  explicit TreeWatch(int fd) : fd_(fd) {}
  int fd_ = -1;
  std::map<int, std::string> dirs_;  // by watch descriptor
};

}  // namespace calib::production
