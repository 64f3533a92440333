// Fuzz target for the reading loop: the input read line by line from
// memory, every line classified, windows analysed into the histogram set of
// a preset, the commentary written into a string. The first input byte
// chooses the preset (bit 0) and the block size of a second, file-backed
// reader (the rest), which must yield the same lines as the memory reader;
// so must a reader of the input compressed as gzip or zstd (bit 1), and the
// same compressed stream cut short must yield a prefix of them and end in
// a read error. An input that itself starts like a compressed stream is
// read by the file-backed reader as one, to its end or to an error.
//
// Checked: one "line N ..." commentary line per line read, N counting from
// 1, its channel-0 value, nsamples and zero-run length as an independent
// count gives them; only window lines in between; one window per 32
// "ichan" lines; the zero-run histogram holds one entry per run recorded.
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/sample_stream.hpp"
#include "core/detector.hpp"
#include "core/histogram_set.hpp"
#include "support/byte_source.hpp"
#include "support/compressor.hpp"
#include "support/int_fields.hpp"
#include "support/line_reader.hpp"
#include "support/out_buffer.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::int64_t line) {
  std::fprintf(stderr, "%s (input line %lld)\n", what, static_cast<long long>(line));
  std::abort();
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The integer after `key ` in text; fails when there is none.
std::int64_t valueAfter(std::string_view text, std::string_view key, std::int64_t line) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) fail("commentary field missing", line);
  const char* begin = text.data() + at + key.size();
  std::int64_t value = 0;
  if (std::from_chars(begin, text.data() + text.size(), value).ec != std::errc{}) fail("unreadable field", line);
  return value;
}

// A file holding bytes, rewound; -1 when none could be made.
int fileWith(std::string_view bytes) {
  const int fd = ::memfd_create("fuzz_sample_stream", 0);
  if (fd < 0) return -1;
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

// The lines a source-backed reader of bytes yields, read in blocks of
// blockSize, and how it ends.
std::vector<std::string> readFile(std::string_view bytes, std::size_t blockSize, calib::LineReader::Status& end) {
  std::vector<std::string> lines;
  end = calib::LineReader::Status::ReadError;
  const int fd = fileWith(bytes);
  if (fd < 0) return lines;
  const std::unique_ptr<calib::ByteSource> source = calib::openSource(fd);
  calib::LineReader reader(*source, blockSize);
  std::string_view line;
  while ((end = reader.next(line)) == calib::LineReader::Status::Line) lines.emplace_back(line);
  ::close(fd);
  return lines;
}

bool sameLines(const std::vector<std::string>& a, const std::vector<std::string_view>& b, std::size_t count) {
  if (a.size() < count || b.size() < count) return false;
  for (std::size_t i = 0; i < count; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The readers of files must agree with the memory reader's lines.
void checkFileReaders(std::string_view input, std::size_t blockSize, bool zstd,
                      const std::vector<std::string_view>& lines, calib::LineReader::Status end) {
  calib::LineReader::Status fileEnd;
  const std::vector<std::string> plain = readFile(input, blockSize, fileEnd);
  const bool looksCompressed = calib::compressionOf(input) != calib::Compression::None;
  if (!looksCompressed && (plain.size() != lines.size() || !sameLines(plain, lines, lines.size()) || fileEnd != end))
    fail("file reader disagrees", static_cast<std::int64_t>(plain.size()));

  std::string packed;
  {
    calib::Compressor compressor(zstd ? calib::Compression::Zstd : calib::Compression::Gzip, calib::stringSink(packed));
    compressor.sink()(input);
    if (compressor.finish()) return;
  }
  const std::vector<std::string> unpacked = readFile(packed, blockSize, fileEnd);
  if (unpacked.size() != lines.size() || !sameLines(unpacked, lines, lines.size()) || fileEnd != end)
    fail("compressed reader disagrees", static_cast<std::int64_t>(unpacked.size()));
  // Cut short, anywhere after the signature: what is read is the start of
  // the text, and the end is an error.
  const std::size_t cut = 4 + blockSize % (packed.size() - 4);
  const std::vector<std::string> truncated = readFile(std::string_view(packed).substr(0, cut), blockSize, fileEnd);
  if (!sameLines(truncated, lines, truncated.size()) || fileEnd != calib::LineReader::Status::ReadError)
    fail("truncated stream", static_cast<std::int64_t>(truncated.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const calib::DetectorPreset& preset = (data[0] & 1) ? calib::kPresetMuCh : calib::kPresetTPC;
  // 1 … 4033 bytes, the small sizes, where refills split lines, densest.
  const std::size_t half = data[0] >> 1;
  const std::size_t blockSize = 1 + half * half;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<std::string_view> lines;
  calib::LineReader::Status end;
  {
    calib::LineReader reader(input);
    std::string_view line;
    while ((end = reader.next(line)) == calib::LineReader::Status::Line) lines.push_back(line);
  }
  checkFileReaders(input, blockSize, (data[0] & 2) != 0, lines, end);

  // Booking the set costs more than reading a short input, so each preset's
  // set is booked once and filled by every input; filling never depends on
  // what is already there. The zero-run histogram is checked by its growth.
  static calib::HistogramSet setTPC = calib::bookHistograms(calib::kPresetTPC);
  static calib::HistogramSet setMuCh = calib::bookHistograms(calib::kPresetMuCh);
  calib::HistogramSet& hists = (data[0] & 1) ? setMuCh : setTPC;
  const double zeroRunEntriesBefore = hists.hZeroBins.entries();
  std::string commentary;
  calib::StreamSummary summary;
  {
    calib::OutBuffer console(calib::stringSink(commentary), calib::OutBuffer::kMinCapacity);
    const std::unique_ptr<calib::ByteSource> source = calib::memorySource(input);
    summary = calib::readSampleStream(*source, preset, hists, console);
    console.flush();
  }
  if (summary.end != end) fail("reading ended differently", summary.nLines);
  if (summary.nLines != static_cast<std::int64_t>(lines.size())) fail("line count", summary.nLines);
  if (hists.hZeroBins.entries() - zeroRunEntriesBefore != static_cast<double>(summary.zeroRunsRecorded))
    fail("zero-run entries", 0);

  // Walk the commentary along the input, with an independent count of the
  // zero lines in a row and of the data lines since the last long zero run.
  std::int64_t n = 0;
  std::int64_t zerosInARow = 0;
  std::int64_t samples = 0;
  int sample0 = 0;
  std::int64_t ichanLines = 0;
  std::int64_t windows = 0;
  std::int64_t zeroRuns = 0;
  int fields[calib::kNChan];
  std::size_t pos = 0;
  while (pos < commentary.size()) {
    const std::size_t lf = commentary.find('\n', pos);
    if (lf == std::string::npos) fail("commentary ends inside a line", n);
    const std::string_view text(commentary.data() + pos, lf - pos);
    pos = lf + 1;
    if (startsWith(text, "ichan ")) {
      ++ichanLines;
      continue;
    }
    if (startsWith(text, "ipeak ") || startsWith(text, "baseBin ")) continue;
    if (!startsWith(text, "line ")) fail("unexpected commentary line", n);
    ++n;
    if (n > static_cast<std::int64_t>(lines.size())) fail("more commentary than lines", n);
    if (valueAfter(text, "line ", n) != n) fail("line number", n);

    const std::string_view line = lines[static_cast<std::size_t>(n - 1)];
    const int nFields = calib::parseIntFields(line, fields, calib::kNChan);
    int low = 0;
    for (int c = 0; c < nFields; ++c) low += fields[c] <= calib::kLowValueLimit;
    if (nFields > 0) sample0 = fields[0];
    if (low > calib::kMinZerosLine) {
      if (samples > preset.nPeakBins) {
        ++windows;
        samples = 0;
      }
      ++zerosInARow;
    } else {
      if (zerosInARow >= calib::kMinZeroSamples) {
        ++zeroRuns;
        samples = 0;
      }
      if (samples >= calib::kMaxSample) samples = 0;
      zerosInARow = 0;
      ++samples;
    }
    if (ichanLines != windows * calib::kNChan) fail("window commentary", n);
    const std::int64_t nsamples = valueAfter(text, " nsamples ", n);
    if (nsamples < 0 || nsamples > calib::kMaxSample || nsamples != samples) fail("nsamples", n);
    if (valueAfter(text, " nZerosInARow ", n) != zerosInARow) fail("nZerosInARow", n);
    if (valueAfter(text, " sample0 adc ", n) != sample0) fail("sample0", n);
  }
  if (n != summary.nLines) fail("commentary line count", n);
  if (windows != summary.windowsAnalysed || zeroRuns != summary.zeroRunsRecorded) fail("window or run count", n);
  return 0;
}
