#include "support/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "support/signal_cleanup.hpp"

namespace calib {

namespace {

constexpr std::size_t kFileBufferCapacity = std::size_t{64} << 10;

std::error_code lastError() { return {errno, std::generic_category()}; }

// The temporary name: ".<final name>.XXXXXX" in the final file's directory,
// so that the rename stays within one file system. The final name is
// shortened if the temporary one would exceed the file-name limit.
std::string temporaryTemplate(const std::string& finalPath) {
  const std::size_t slash = finalPath.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  constexpr std::size_t kExtra = 8;  // "." and ".XXXXXX"
  if (name.size() + kExtra > NAME_MAX) name.resize(NAME_MAX - kExtra);
  return dir + "." + name + ".XXXXXX";
}

// mkstemp creates files readable by the owner only; give the result the
// permissions a plainly created file would have (0666 less the umask).
void applyDefaultPermissions(int fd) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
}

}  // namespace

Result<OutputFile, std::error_code> OutputFile::create(const std::string& finalPath, Durability durability) {
  // Problems with the final name itself would otherwise show only at the
  // rename, after the whole run.
  const std::size_t slash = finalPath.rfind('/');
  const std::size_t nameLength = slash == std::string::npos ? finalPath.size() : finalPath.size() - slash - 1;
  if (nameLength > NAME_MAX) return std::error_code(ENAMETOOLONG, std::generic_category());
  struct stat st;
  const bool exists = ::stat(finalPath.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return std::error_code(EISDIR, std::generic_category());
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe (/dev/null, a FIFO a reader waits on) is written
    // to as it is: renaming a file over it would replace the device.
    const int fd = ::open(finalPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return lastError();
    return OutputFile(finalPath, "", fd, Durability::Unsynced, -1);
  }
  std::string tempPath = temporaryTemplate(finalPath);
  int fd = -1;
  int slot = -1;
  {
    const TerminationSignalsBlocked blocked;
    fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) return lastError();
    slot = registerTemporary(tempPath);
  }
  applyDefaultPermissions(fd);
  return OutputFile(finalPath, std::move(tempPath), fd, durability, slot);
}

OutputFile::OutputFile(std::string finalPath, std::string tempPath, int fd, Durability durability, int registrySlot)
    : finalPath_(std::move(finalPath)),
      tempPath_(std::move(tempPath)),
      fd_(fd),
      buffer_(std::make_unique<OutBuffer>(fdSink(fd), kFileBufferCapacity)),
      durability_(durability),
      registrySlot_(registrySlot) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : finalPath_(std::move(other.finalPath_)),
      tempPath_(std::move(other.tempPath_)),
      fd_(other.fd_),
      buffer_(std::move(other.buffer_)),
      durability_(other.durability_),
      state_(other.state_),
      error_(other.error_),
      registrySlot_(other.registrySlot_) {
  other.registrySlot_ = -1;
  other.fd_ = -1;
  other.state_ = State::Failed;
  other.error_ = std::error_code(EBADF, std::generic_category());
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    discard();
    finalPath_ = std::move(other.finalPath_);
    tempPath_ = std::move(other.tempPath_);
    fd_ = other.fd_;
    buffer_ = std::move(other.buffer_);
    durability_ = other.durability_;
    state_ = other.state_;
    error_ = other.error_;
    registrySlot_ = other.registrySlot_;
    other.registrySlot_ = -1;
    other.fd_ = -1;
    other.state_ = State::Failed;
    other.error_ = std::error_code(EBADF, std::generic_category());
  }
  return *this;
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if ((state_ == State::Writing || state_ == State::Finished) && !tempPath_.empty()) ::unlink(tempPath_.c_str());
  unregister();
}

void OutputFile::unregister() {
  unregisterTemporary(registrySlot_);
  registrySlot_ = -1;
}

std::error_code OutputFile::fail(std::error_code error) {
  discard();
  state_ = State::Failed;
  error_ = error;
  return error_;
}

std::error_code OutputFile::finish() {
  if (state_ != State::Writing) return error_;
  if (const std::error_code error = buffer_->flush()) return fail(error);
  if (durability_ == Durability::Synced && ::fsync(fd_) != 0) return fail(lastError());
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return fail(lastError());
  state_ = State::Finished;
  return error_;
}

std::error_code OutputFile::publish() {
  if (const std::error_code error = finish()) return error;
  if (state_ != State::Finished) return error_;
  if (!tempPath_.empty() && ::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) return fail(lastError());
  state_ = State::Published;
  unregister();
  return error_;
}

std::error_code writeFileWhole(const std::string& path, std::string_view text, unsigned mode) {
  Result<OutputFile, std::error_code> file = OutputFile::create(path);
  if (!file) return file.error();
  if (mode != 0 && ::chmod(file->temporaryPath().c_str(), static_cast<mode_t>(mode)) != 0)
    return std::error_code(errno, std::generic_category());
  file->out().put(text);
  return file->publish();
}

}  // namespace calib
