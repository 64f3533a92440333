// Which files a batch is about: every regular file under the paths given
// (files or directories, searched recursively; symbolic links to files
// are followed, to directories not, so no tree is walked twice), each
// once, with the part of its path that mirrors into the output tree. What
// is neither (a dangling symbolic link, a FIFO, a socket, a device) is
// skipped with the reason.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace calib::production {

struct FoundFile {
  std::string path;      // as reached from the path given
  std::string relative;  // below the given directory's parent ("robot/20180725/…"), or the file's name
};

using Skipped = std::vector<std::pair<std::string, std::string>>;  // path, why

struct Discovery {
  std::vector<FoundFile> files;     // in path order
  Skipped skipped;                  // below the paths, neither file nor directory; in path order
  std::vector<std::string> errors;  // paths that could not be searched, with the reason
};

// Searches paths, leaving out everything below excluded (the output root,
// when it lies inside a searched tree).
Discovery discover(const std::vector<std::string>& paths, const std::string& excluded);

// A file below one of paths (or one of them) as discover would have found
// it: its relative path the same. None when it lies under none of them.
std::optional<FoundFile> foundUnder(const std::vector<std::string>& paths, const std::string& file);

}  // namespace calib::production
