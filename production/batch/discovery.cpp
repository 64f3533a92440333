#include "production/batch/discovery.hpp"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>

namespace calib::production {

namespace fs = std::filesystem;

namespace {

// A path's identity, to find the same file reached twice.
std::string identity(const fs::path& p) {
  std::error_code ignored;
  const fs::path canonical = fs::weakly_canonical(p, ignored);
  return canonical.empty() ? p.lexically_normal().string() : canonical.string();
}

// Why an entry that is neither a regular file nor a directory is left out;
// nothing for a link to a directory, which the walk leaves out by design.
std::optional<std::string> notAFile(bool link, const fs::file_status& target, const std::error_code& error) {
  if (link && target.type() == fs::file_type::not_found) return "a dangling symbolic link";
  if (link && error) return "a symbolic link that cannot be followed: " + error.message();
  switch (target.type()) {
    case fs::file_type::fifo:
      return "not a regular file: a FIFO";
    case fs::file_type::socket:
      return "not a regular file: a socket";
    case fs::file_type::block:
      return "not a regular file: a block device";
    case fs::file_type::character:
      return "not a regular file: a character device";
    case fs::file_type::unknown:
      return "not a regular file";
    default:
      return std::nullopt;  // a directory, or gone while searched
  }
}

}  // namespace

namespace {

// The path of a file below a given directory that mirrors into the output
// tree. Relative paths keep the given directory's own name: two stands'
// trees given together stay apart in the output tree. They are taken from
// the absolute path, so that no ".." of the given one leads out of the
// output tree.
class RelativeTo {
 public:
  explicit RelativeTo(const fs::path& root) : root_(root) {
    std::error_code error;
    absoluteRoot_ = fs::absolute(root, error).lexically_normal();
    if (!absoluteRoot_.has_filename()) absoluteRoot_ = absoluteRoot_.parent_path();
    base_ = absoluteRoot_.parent_path();
  }
  std::string operator()(const fs::path& file) const {
    return (absoluteRoot_ / file.lexically_relative(root_)).lexically_relative(base_).string();
  }

 private:
  fs::path root_, absoluteRoot_, base_;
};

// A file found, and its identity.
struct Walked {
  FoundFile file;
  std::string id;
};

// Every regular file below the directory given, sorted by path, with its
// path relative to the given directory's parent; what is neither file nor
// directory goes to skipped, directories that cannot be read to errors,
// and the rest of the tree is still searched.
// Identities are the root's canonical path joined with the path below it:
// the walk follows no link to a directory, so only a link to a file needs
// resolving (a rescan of a large tree would spend most of its time
// resolving every path otherwise).
std::vector<Walked> walk(const std::string& given, const std::function<bool(const std::string&)>& isExcluded,
                         Skipped& skipped, std::vector<std::string>& errors) {
  const fs::path root = fs::path(given).lexically_normal();
  const RelativeTo relativeTo(root);
  const fs::path canonicalRoot = identity(root);
  const auto idOf = [&](const fs::path& p) { return (canonicalRoot / p.lexically_relative(root)).string(); };
  std::error_code error;
  std::vector<Walked> found;
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    const fs::path dir = std::move(pending.back());
    pending.pop_back();
    fs::directory_iterator it(dir, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      const fs::directory_entry& entry = *it;
      std::error_code kind;
      const bool link = entry.is_symlink(kind);
      if (!link && entry.is_directory(kind)) {
        if (!isExcluded(idOf(entry.path()))) pending.push_back(entry.path());
      } else if (entry.is_regular_file(kind)) {
        found.push_back({{entry.path().string(), relativeTo(entry.path())},
                         link ? identity(entry.path()) : idOf(entry.path())});
      } else if (std::optional<std::string> why = notAFile(link, entry.status(kind), kind)) {
        skipped.emplace_back(entry.path().string(), std::move(*why));
      }
    }
    if (error) {
      errors.push_back("cannot search '" + dir.string() + "': " + error.message());
      error.clear();
    }
  }
  std::sort(found.begin(), found.end(), [](const Walked& a, const Walked& b) { return a.file.path < b.file.path; });
  return found;
}

}  // namespace

Discovery discover(const std::vector<std::string>& paths, const std::string& excluded) {
  Discovery d;
  std::set<std::string> seen;
  const std::string excludedId = excluded.empty() ? "" : identity(excluded);
  const auto isExcluded = [&](const std::string& id) {
    return !excludedId.empty() && (id == excludedId || id.starts_with(excludedId + "/"));
  };
  // Files are excluded by their directory, which the walk checks: a file
  // given by itself is checked here.
  const auto add = [&](FoundFile file, const std::string& id) {
    if (!seen.insert(id).second) return;
    d.files.push_back(std::move(file));
  };
  for (const std::string& given : paths) {
    std::error_code error;
    const fs::file_status status = fs::status(given, error);
    if (error) {
      d.errors.push_back("cannot search '" + given + "': " + error.message());
    } else if (fs::is_regular_file(status)) {
      const std::string id = identity(given);
      if (!isExcluded(id)) add({given, fs::path(given).filename().string()}, id);
    } else if (!fs::is_directory(status)) {
      d.errors.push_back("cannot search '" + given + "': not a file or directory");
    } else if (!isExcluded(identity(given))) {
      for (Walked& w : walk(given, isExcluded, d.skipped, d.errors)) add(std::move(w.file), w.id);
    }
  }
  std::sort(d.skipped.begin(), d.skipped.end());
  d.skipped.erase(std::unique(d.skipped.begin(), d.skipped.end()), d.skipped.end());
  return d;
}

std::optional<FoundFile> foundUnder(const std::vector<std::string>& paths, const std::string& file) {
  const fs::path path = fs::path(file).lexically_normal();
  for (const std::string& given : paths) {
    const fs::path root = fs::path(given).lexically_normal();
    if (path == root) return FoundFile{file, path.filename().string()};
    const fs::path inside = path.lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") continue;
    return FoundFile{file, RelativeTo(root)(path)};
  }
  return std::nullopt;
}

}  // namespace calib::production
