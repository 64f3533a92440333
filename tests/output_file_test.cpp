// OutputFile (a file that appears only when complete), the OutBuffer in
// front of it, and InputFile.
#include "support/output_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/format.hpp"
#include "support/input_file.hpp"
#include "support/out_buffer.hpp"
#include "test_util.hpp"

namespace calib {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string randomText(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(byte(rng));
  return s;
}

OutputFile createOrFail(const std::string& path) {
  Result<OutputFile, std::error_code> f = OutputFile::create(path);
  // gtest reports the exception as a failure of the calling test.
  if (!f) throw std::runtime_error("cannot create " + path + ": " + f.error().message());
  return std::move(*f);
}

// Sets the umask for the lifetime of the object.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(OutputFile, NewFileAppearsOnlyWhenPublished) {
  test::TempDir dir;
  const std::string path = dir / "gain.log";
  OutputFile f = createOrFail(path);
  EXPECT_EQ(f.path(), path);
  EXPECT_EQ(fs::path(f.temporaryPath()).parent_path(), dir.path());
  EXPECT_EQ(fs::path(f.temporaryPath()).filename().string().rfind(".gain.log.", 0), 0u) << f.temporaryPath();

  f.out().put("first line\n");
  char* p = f.out().reserve(64);
  p = writeText(p, "reserved\n");
  f.out().commit(p);
  ASSERT_FALSE(f.out().flush());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::exists(f.temporaryPath()));

  EXPECT_FALSE(f.publish());
  EXPECT_EQ(test::readFile(path), "first line\nreserved\n");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"gain.log"});
  // Only the first publish does anything.
  EXPECT_FALSE(f.publish());
  EXPECT_EQ(test::readFile(path), "first line\nreserved\n");
}

TEST(OutputFile, ExistingFileIsReplacedOnlyWhenPublished) {
  test::TempDir dir;
  const std::string path = dir / "gain.log";
  test::writeFile(path, "previous\n");
  OutputFile f = createOrFail(path);
  f.out().put("new contents\n");
  ASSERT_FALSE(f.out().flush());
  EXPECT_EQ(test::readFile(path), "previous\n");
  EXPECT_FALSE(f.publish());
  EXPECT_EQ(test::readFile(path), "new contents\n");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"gain.log"});
}

TEST(OutputFile, DestroyingUnpublishedRemovesTheTemporary) {
  test::TempDir dir;
  const std::string existing = dir / "existing.log";
  test::writeFile(existing, "keep me\n");
  {
    OutputFile a = createOrFail(existing);
    OutputFile b = createOrFail(dir / "new.log");
    a.out().put(randomText(200000, 1));  // more than the buffer: part of it is on disk
    b.out().put("x");
    EXPECT_EQ(namesIn(dir.path()).size(), 3u);
  }
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"existing.log"});
  EXPECT_EQ(test::readFile(existing), "keep me\n");
}

TEST(OutputFile, MovesKeepOneOwnerOfTheTemporary) {
  test::TempDir dir;
  OutputFile a = createOrFail(dir / "a.log");
  OutputFile b = createOrFail(dir / "b.log");
  const std::string tempA = a.temporaryPath();
  const std::string tempB = b.temporaryPath();
  a = std::move(b);  // a's own temporary is given up
  EXPECT_FALSE(fs::exists(tempA));
  EXPECT_TRUE(fs::exists(tempB));
  OutputFile c(std::move(a));
  c.out().put("b");
  EXPECT_FALSE(c.publish());
  EXPECT_EQ(test::readFile(dir / "b.log"), "b");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"b.log"});
}

TEST(OutputFile, CreateFailures) {
  test::TempDir dir;
  const Result<OutputFile, std::error_code> missing = OutputFile::create(dir / "missing/gain.log");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
  EXPECT_TRUE(namesIn(dir.path()).empty());

  fs::create_directory(dir / "sub");
  const Result<OutputFile, std::error_code> directory = OutputFile::create(dir / "sub");
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error(), std::errc::is_a_directory);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"sub"});
  EXPECT_TRUE(namesIn(dir.path() / "sub").empty());
}

TEST(OutputFile, CommittedFileHasDefaultPermissions) {
  for (mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
    test::TempDir dir;
    const std::string path = dir / "gain.log";
    {
      ScopedUmask scoped(mask);
      OutputFile f = createOrFail(path);
      f.out().put("x\n");
      ASSERT_FALSE(f.publish());
    }
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << "umask " << std::oct << mask;
  }
}

TEST(OutputFile, LongNameAndLargeContents) {
  test::TempDir dir;
  const std::string path = dir / std::string(250, 'n');
  const std::string big = randomText(5 << 20, 2);
  OutputFile f = createOrFail(path);
  // Mixed: chunks through put(), some through reserve()/commit().
  std::size_t pos = 0;
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::size_t> chunk(1, 300000);
  while (pos < big.size()) {
    const std::size_t n = std::min(chunk(rng), big.size() - pos);
    if (n <= 1000) {
      char* p = f.out().reserve(n);
      std::memcpy(p, big.data() + pos, n);
      f.out().commit(p + n);
    } else {
      f.out().put(std::string_view(big).substr(pos, n));
    }
    pos += n;
  }
  EXPECT_FALSE(f.publish());
  EXPECT_TRUE(test::readFile(path) == big);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{std::string(250, 'n')});
}

TEST(OutputFile, WriteErrorIsReportedByPublish) {
  test::TempDir dir;
  const std::string path = dir / "gain.log";
  test::writeFile(path, "previous\n");
  std::error_code result;
  {
    test::FileSizeLimit limit(1 << 20);
    OutputFile f = createOrFail(path);
    f.out().put(randomText(3 << 20, 4));
    result = f.publish();
    EXPECT_EQ(f.publish(), result);  // a retry does not report success
  }
  EXPECT_EQ(result, std::errc::file_too_large);
  EXPECT_EQ(test::readFile(path), "previous\n");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"gain.log"});
}

// A device or a pipe named as the output is written to, never replaced:
// /dev/null stays the device, a FIFO's reader gets the text.
TEST(OutputFile, DevicesAndPipesAreWrittenToNotReplaced) {
  {
    OutputFile f = createOrFail("/dev/null");
    f.out().put("discarded\n");
    EXPECT_FALSE(f.publish());
  }
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  test::TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  {
    OutputFile f = createOrFail(fifo);
    f.out().put("through the pipe\n");
    EXPECT_FALSE(f.publish());
  }
  char text[64] = {};
  EXPECT_EQ(::read(reader, text, sizeof text), 17);
  EXPECT_STREQ(text, "through the pipe\n");
  ::close(reader);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"pipe"});
}

TEST(OutBuffer, FirstSinkErrorIsKeptAndLaterOutputDropped) {
  constexpr std::size_t kCap = OutBuffer::kMinCapacity;
  std::vector<std::string> chunks;
  int calls = 0;
  OutBuffer out(
      [&](std::string_view chunk) -> std::error_code {
        ++calls;
        chunks.emplace_back(chunk);
        if (calls == 3) return std::make_error_code(std::errc::io_error);
        if (calls == 4) return std::make_error_code(std::errc::no_space_on_device);
        return {};
      },
      kCap);
  ASSERT_EQ(out.capacity(), kCap);
  const std::string a = randomText(kCap - 6, 10), b = randomText(10, 11);
  out.put(a);
  EXPECT_EQ(calls, 0);
  out.put(b);  // fills the buffer: one full chunk goes out
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(chunks[0] == a + b.substr(0, 6));
  EXPECT_FALSE(out.flush());
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1], b.substr(6));
  EXPECT_FALSE(out.error());

  const std::string c = randomText(kCap + 20, 12);
  out.put(c);  // the full buffer fails; what follows is dropped, not sent
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(chunks[2] == c.substr(0, kCap));
  EXPECT_EQ(out.flush(), std::errc::io_error);
  out.put(randomText(3 * kCap, 13));
  char* p = out.reserve(kCap);
  *p++ = '!';
  out.commit(p);
  EXPECT_EQ(out.flush(), std::errc::io_error);
  EXPECT_EQ(calls, 3);
}

// However small the requested capacity, a reservation of kMinCapacity bytes
// is always room.
TEST(OutBuffer, CapacityHasAMinimum) {
  for (std::size_t asked : {std::size_t{0}, std::size_t{1}, std::size_t{16}, OutBuffer::kMinCapacity - 1}) {
    std::string target;
    OutBuffer out(stringSink(target), asked);
    EXPECT_EQ(out.capacity(), OutBuffer::kMinCapacity);
    out.put("x");
    char* p = out.reserve(OutBuffer::kMinCapacity);
    EXPECT_EQ(target, "x");  // flushed to make room
    std::memset(p, 'y', OutBuffer::kMinCapacity);
    out.commit(p + OutBuffer::kMinCapacity);
    EXPECT_FALSE(out.flush());
    EXPECT_TRUE(target == "x" + std::string(OutBuffer::kMinCapacity, 'y'));
  }
  std::string target;
  EXPECT_EQ(OutBuffer(stringSink(target), 100000).capacity(), 100000u);
}

TEST(OutBuffer, ReserveAndPutKeepTheOrder) {
  std::string target;
  OutBuffer out(stringSink(target), OutBuffer::kMinCapacity);
  std::string expected;
  std::mt19937 rng(5);
  std::uniform_int_distribution<std::size_t> size(0, 3 * OutBuffer::kMinCapacity);
  for (int i = 0; i < 2000; ++i) {
    const std::string piece = randomText(size(rng), static_cast<unsigned>(i));
    if (piece.size() <= OutBuffer::kMinCapacity && i % 2) {
      char* p = out.reserve(piece.size());
      std::memcpy(p, piece.data(), piece.size());
      out.commit(p + piece.size());
    } else {
      out.put(piece);
    }
    expected += piece;
    // Nothing more than one buffer is held back.
    EXPECT_LE(expected.size() - target.size(), out.capacity());
  }
  EXPECT_FALSE(out.flush());
  EXPECT_TRUE(target == expected);
}

// /dev/full fails every write with ENOSPC, like a full disk.
TEST(OutBuffer, FdSinkReportsTheOsError) {
  const int full = ::open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  OutBuffer out(fdSink(full), OutBuffer::kMinCapacity);
  out.put(std::string(3 * OutBuffer::kMinCapacity, 'x'));
  EXPECT_EQ(out.flush(), std::errc::no_space_on_device);
  ::close(full);
}

TEST(InputFile, OpenReportsReasonsAndSize) {
  test::TempDir dir;
  const Result<InputFile, std::error_code> missing = InputFile::open(dir / "missing.txt");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);

  const Result<InputFile, std::error_code> directory = InputFile::open(dir.path().string());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error(), std::errc::is_a_directory);

  const std::string path = dir / "adc.txt";
  test::writeFile(path, "1 2 3\n4 5 6\n");
  Result<InputFile, std::error_code> in = InputFile::open(path);
  ASSERT_TRUE(in.has_value()) << in.error().message();
  EXPECT_EQ(in->size(), std::optional<std::uint64_t>(12));
  char buf[32];
  EXPECT_EQ(::read(in->fd(), buf, sizeof buf), 12);

  test::writeFile(dir / "empty.txt", "");
  const Result<InputFile, std::error_code> empty = InputFile::open(dir / "empty.txt");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), std::optional<std::uint64_t>(0));

  const Result<InputFile, std::error_code> device = InputFile::open("/dev/null");
  ASSERT_TRUE(device.has_value());
  EXPECT_FALSE(device->size().has_value());  // a device has no size

  // A moved-from file no longer owns the descriptor.
  InputFile moved(std::move(*in));
  EXPECT_EQ(in->fd(), -1);
  EXPECT_GE(moved.fd(), 0);
}

}  // namespace
}  // namespace calib
