// An output file that appears under its name only once it is complete.
//
// The text goes to a temporary file beside the final path. finish() flushes
// it, syncs it to disk and closes it; publish() then renames it over the
// final path. Until then an existing file of that name is untouched, and a
// file that is never published removes its temporary file (the destructor),
// so a reader never finds a truncated file where a complete one is expected.
// Finishing several files before publishing any keeps them from different
// runs from ending up side by side when one of them fails.
//
// A final path that is a device or a pipe (/dev/null, a FIFO) is written to
// directly: there is nothing to replace, and renaming over it would replace
// the device itself.
//
// Every temporary file is also entered, for as long as it exists, in the
// table of support/signal_cleanup, so that a run killed by a terminating
// signal leaves no temporary files behind either.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "support/out_buffer.hpp"
#include "support/result.hpp"

namespace calib {

class OutputFile {
 public:
  // Synced: finish() makes the text durable before the rename, so that
  // not even a system crash leaves an empty file under the final name.
  // Unsynced: the rename alone, which still never shows a partial file to
  // a reader; for outputs that can be made again and are too many to wait
  // for the disk each time (the plots).
  enum class Durability { Synced, Unsynced };

  // Creates the temporary file for finalPath. On failure returns the OS
  // reason. A final path that is an existing directory (EISDIR) or whose
  // name is too long (ENAMETOOLONG) fails here rather than at the rename.
  static Result<OutputFile, std::error_code> create(const std::string& finalPath,
                                                   Durability durability = Durability::Synced);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  OutBuffer& out() { return *buffer_; }
  const std::string& path() const { return finalPath_; }
  const std::string& temporaryPath() const { return tempPath_; }  // empty: written directly

  // Writes the complete text to the temporary file (and syncs it, when
  // Synced) and closes it. On failure the
  // temporary file is removed. Later calls return the first result.
  std::error_code finish();

  // Finishes the file if needed and renames it into place. On failure the
  // temporary file is removed and the final path keeps what it held
  // before. Later calls return the first result.
  std::error_code publish();

 private:
  enum class State { Writing, Finished, Published, Failed };

  OutputFile(std::string finalPath, std::string tempPath, int fd, Durability durability, int registrySlot);
  std::error_code fail(std::error_code error);
  void discard();
  void unregister();

  std::string finalPath_;
  std::string tempPath_;
  int fd_ = -1;
  std::unique_ptr<OutBuffer> buffer_;
  Durability durability_ = Durability::Synced;
  State state_ = State::Writing;
  std::error_code error_;
  int registrySlot_ = -1;  // entry in the table of live temporaries, or -1
};

// Writes text to path whole or not at all (synced), with mode, when not 0,
// set before it appears. The OS reason on failure.
std::error_code writeFileWhole(const std::string& path, std::string_view text, unsigned mode = 0);

}  // namespace calib
