// LineReader must see exactly the lines std::istream::getline(buf, 100000)
// sees, and stop where a loop "getline; stop unless good()" stops, from
// memory, from a file read with any block size, from a pipe, and from gzip
// and zstd files.
#include "support/line_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/compressor.hpp"
#include "test_util.hpp"

namespace calib {
namespace {

using Status = LineReader::Status;

constexpr std::streamsize kGetlineBuffer = 100000;

const char* statusName(Status s) {
  switch (s) {
    case Status::Line:
      return "Line";
    case Status::End:
      return "End";
    case Status::MissingFinalLineFeed:
      return "MissingFinalLineFeed";
    case Status::LineTooLong:
      return "LineTooLong";
    case Status::ReadError:
      return "ReadError";
  }
  return "?";
}

struct Outcome {
  std::vector<std::string> lines;
  Status end = Status::End;
  std::uint64_t consumed = 0;
};

// What a getline loop reads from text, classified into the reader's terms.
Outcome getlineReference(const std::string& text) {
  Outcome r;
  std::istringstream in(text);
  auto buf = std::make_unique<char[]>(kGetlineBuffer);
  for (;;) {
    in.getline(buf.get(), kGetlineBuffer);
    const std::streamsize n = in.gcount();
    if (in.good()) {
      r.lines.emplace_back(buf.get(), static_cast<std::size_t>(n - 1));
      r.consumed += static_cast<std::uint64_t>(n);
      continue;
    }
    if (!in.eof())
      r.end = Status::LineTooLong;  // failbit alone: the buffer filled up
    else
      r.end = n > 0 ? Status::MissingFinalLineFeed : Status::End;
    return r;
  }
}

Outcome readAll(LineReader& reader) {
  Outcome r;
  std::string_view line;
  Status s;
  while ((s = reader.next(line)) == Status::Line) r.lines.emplace_back(line);
  r.end = s;
  r.consumed = reader.bytesConsumed();
  return r;
}

// Compares without printing lines that may be 250000 characters long.
void expectSame(const Outcome& actual, const Outcome& expected, const std::string& how) {
  ASSERT_EQ(actual.lines.size(), expected.lines.size()) << how;
  for (std::size_t i = 0; i < expected.lines.size(); ++i) {
    const std::string& a = actual.lines[i];
    const std::string& e = expected.lines[i];
    ASSERT_TRUE(a == e) << how << ": line " << i << " has " << a.size() << " chars, expected " << e.size();
  }
  EXPECT_EQ(statusName(actual.end), statusName(expected.end)) << how;
  EXPECT_EQ(actual.consumed, expected.consumed) << how;
}

Outcome readFromMemory(const std::string& text) {
  LineReader reader{std::string_view(text)};
  return readAll(reader);
}

Outcome readFromFile(const std::string& path, std::size_t blockSize) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  const std::unique_ptr<ByteSource> source = openSource(fd);
  LineReader reader(*source, blockSize);
  Outcome r = readAll(reader);
  ::close(fd);
  return r;
}

// text compressed, in two gzip members or two zstd frames split at
// `split`, the way concatenated files are.
std::string compressed(Compression format, std::string_view text, std::size_t split) {
  std::string out;
  for (const std::string_view part : {text.substr(0, split), text.substr(std::min(split, text.size()))}) {
    Compressor compressor(format, stringSink(out));
    compressor.sink()(part);
    EXPECT_FALSE(compressor.finish());
  }
  return out;
}

// A pipe fed by a thread in chunks of chunk bytes, so that the reader gets
// short reads that end anywhere.
Outcome readFromPipe(const std::string& text, std::size_t chunk, std::size_t blockSize) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&text, chunk, fd = fds[1]] {
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t n = std::min(chunk, text.size() - pos);
      const ssize_t w = ::write(fd, text.data() + pos, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      pos += static_cast<std::size_t>(w);
    }
    ::close(fd);
  });
  const std::unique_ptr<ByteSource> source = openSource(fds[0]);
  LineReader reader(*source, blockSize);
  Outcome r = readAll(reader);
  // Drain what the reader left so that the writer can finish.
  char sink[4096];
  while (::read(fds[0], sink, sizeof sink) > 0) {
  }
  writer.join();
  ::close(fds[0]);
  return r;
}

// Runs text through every way of reading it; with compressed, also as
// gzip and zstd, split into two members or frames in the middle.
void expectLikeGetline(const std::string& text, const std::string& name, bool compressedToo = true) {
  const Outcome expected = getlineReference(text);
  expectSame(readFromMemory(text), expected, name + " (memory)");
  test::TempDir dir;
  const std::string path = dir / "input.txt";
  test::writeFile(path, text);
  for (std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, LineReader::kDefaultBlockSize})
    expectSame(readFromFile(path, block), expected, name + " (file, block " + std::to_string(block) + ")");
  expectSame(readFromPipe(text, 1000, 7), expected, name + " (pipe, chunks of 1000)");
  expectSame(readFromPipe(text, 65536, 4096), expected, name + " (pipe, chunks of 65536)");
  if (!compressedToo) return;
  for (const Compression format : {Compression::Gzip, Compression::Zstd}) {
    const std::string packed = dir / "input.packed";
    test::writeFile(packed, compressed(format, text, text.size() / 2));
    for (std::size_t block : {std::size_t{7}, LineReader::kDefaultBlockSize})
      expectSame(readFromFile(packed, block), expected,
                 name + " (" + std::string(compressionName(format)) + ", block " + std::to_string(block) + ")");
  }
}

TEST(LineReader, EdgeInputsMatchGetline) {
  using namespace std::string_literals;
  const std::string x99998(99998, 'x'), x99999(99999, 'x'), x100000(100000, 'x');
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"one line feed", "\n"},
      {"empty lines", "\n\n\n"},
      {"one line", "1 2 3\n"},
      {"no final line feed", "1 2 3\n4 5"},
      {"only an unterminated line", "4"},
      {"CR LF", "1 2\r\n3 4\r\n"},
      {"lone CR", "1\r2\r"},
      {"NUL bytes", "1\0 2\n\0\n3 \0"s + "\n"},
      {"99998 chars", x99998 + "\n" + "next\n"},
      {"99999 chars", x99999 + "\n" + "next\n"},
      {"99999 chars, no line feed", "first\n" + x99999},
      {"99999 chars then CR", x99999 + "\r\n"},
      {"100000 chars", "first\n" + x100000 + "\nnext\n"},
      {"100000 chars, no line feed", "first\n" + x100000},
      {"100001 chars", x100000 + "x\n"},
      {"99999 chars then an empty line", x99999 + "\n\n"},
      {"long then short", std::string(250000, 'y') + "\nshort\n"},
  };
  for (const Case& c : cases) expectLikeGetline(c.text, c.name);
}

// Random inputs built from lines of random length, with the lengths around
// the limit drawn often.
TEST(LineReader, RandomInputsMatchGetline) {
  static constexpr char kChars[] = "0123456789 -\t\r\0ab";
  const std::size_t specialLengths[] = {0, 1, 2, 99998, 99999, 100000, 100001, 250000};
  std::mt19937 rng(1357);
  std::uniform_int_distribution<int> nLines(0, 12);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<std::size_t> shortLength(0, 300);
  std::uniform_int_distribution<std::size_t> special(0, std::size(specialLengths) - 1);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
  std::vector<bool> seen(5, false);
  for (int input = 0; input < 400; ++input) {
    std::string text;
    const int n = nLines(rng);
    for (int i = 0; i < n; ++i) {
      const std::size_t len = percent(rng) < 15 ? specialLengths[special(rng)] : shortLength(rng);
      const std::size_t start = text.size();
      text.resize(start + len);
      for (std::size_t k = start; k < text.size(); ++k) text[k] = kChars[pick(rng)];
      if (i + 1 < n || percent(rng) < 70) text += '\n';
    }
    seen[static_cast<std::size_t>(getlineReference(text).end)] = true;
    expectLikeGetline(text, "random input " + std::to_string(input), input % 10 == 0);
    if (HasFatalFailure()) return;
  }
  // The draw must have ended in every way getline can end.
  EXPECT_TRUE(seen[static_cast<std::size_t>(Status::End)]);
  EXPECT_TRUE(seen[static_cast<std::size_t>(Status::MissingFinalLineFeed)]);
  EXPECT_TRUE(seen[static_cast<std::size_t>(Status::LineTooLong)]);
}

TEST(LineReader, ReadErrorIsReported) {
  test::TempDir dir;
  const int fd = ::open(dir.path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::unique_ptr<ByteSource> source = openSource(fd);
  LineReader reader(*source);
  std::string_view line;
  EXPECT_EQ(statusName(reader.next(line)), statusName(Status::ReadError));
  EXPECT_EQ(reader.error().value(), EISDIR);
  EXPECT_EQ(reader.error(), std::errc::is_a_directory);
  EXPECT_EQ(reader.bytesConsumed(), 0u);
  ::close(fd);
}

}  // namespace
}  // namespace calib
