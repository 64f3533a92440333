// Compressed ADC files end to end: a gzip or zstd file, whatever its name,
// gives exactly the outputs of its plain-text twin, under the reading
// rules' edge cases too; members and frames one after the other are read
// whole; a stream that is corrupt or cut short is an error that names the
// byte reached, after which what was read is analysed and written.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <tuple>

#include "adc_text.hpp"
#include "analysis/sample_stream.hpp"
#include "support/compressor.hpp"
#include "support/input_file.hpp"
#include "support/sha256.hpp"
#include "test_util.hpp"
#include "tools/sim/run_writer.hpp"

namespace calib::test {
namespace {

namespace fs = std::filesystem;

std::string simulated(const sim::SimOptions& options) {
  std::string text;
  OutBuffer out(stringSink(text));
  sim::writeRun(options, out);
  out.flush();
  return text;
}

// text compressed, cut into `parts` members or frames.
std::string compress(Compression format, std::string_view text, int parts = 1) {
  std::string packed;
  for (int i = 0; i < parts; ++i) {
    const std::size_t from = text.size() * static_cast<std::size_t>(i) / static_cast<std::size_t>(parts);
    const std::size_t to = text.size() * static_cast<std::size_t>(i + 1) / static_cast<std::size_t>(parts);
    Compressor compressor(format, stringSink(packed));
    compressor.sink()(text.substr(from, to - from));
    EXPECT_FALSE(compressor.finish());
  }
  return packed;
}

// n in four bytes, little-endian.
std::string fourBytes(std::size_t n) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((n >> shift) & 0xff);
  return bytes;
}

// A zstd skippable frame: its magic number 0x184D2A50 + variant (0 to 15),
// the size of the payload, then the payload.
std::string skippableFrame(unsigned variant, std::string_view payload) {
  return fourBytes(0x184D2A50 + variant) + fourBytes(payload.size()) + std::string(payload);
}

// What the pzstd program makes of text; nothing when it is not installed.
std::optional<std::string> pzstd(const std::string& text) {
  TempDir dir;
  writeFile(dir / "in", text);
  const std::string command =
      "command -v pzstd >/dev/null || exit 3; pzstd -q -c '" + (dir / "in") + "' > '" + (dir / "out") + "'";
  const int status = std::system(command.c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return std::nullopt;
  EXPECT_EQ(status, 0) << command;
  return readFile(dir / "out");
}

// text packed every way calib reads, with the compression each is read as:
// gzip members, and those padded with zeros (past a block read); zstd frames,
// and those behind skippable frames (first variant and last), as pzstd
// writes them and as it does itself when installed.
std::vector<std::tuple<std::string, Compression, std::string>> packings(std::string_view text) {
  const std::string half = compress(Compression::Zstd, text.substr(0, text.size() / 2));
  const std::string rest = compress(Compression::Zstd, text.substr(text.size() / 2));
  std::vector<std::tuple<std::string, Compression, std::string>> packed = {
      {"gzip", Compression::Gzip, compress(Compression::Gzip, text, 3)},
      {"gzip padded with zeros", Compression::Gzip, compress(Compression::Gzip, text, 3) + std::string(300000, '\0')},
      {"zstd", Compression::Zstd, compress(Compression::Zstd, text, 3)},
      {"zstd as pzstd writes it", Compression::Zstd,
       skippableFrame(0, fourBytes(half.size())) + half + skippableFrame(0, fourBytes(rest.size())) + rest},
      {"zstd after and before skippable frames 0x184D2A5F", Compression::Zstd,
       skippableFrame(15, "any payload") + half + rest + skippableFrame(15, "")},
  };
  if (std::optional<std::string> made = pzstd(std::string(text)))
    packed.emplace_back("pzstd", Compression::Zstd, std::move(*made));
  return packed;
}

struct Outputs {
  RunResult result;
  std::map<std::string, std::string> files;  // every output below the run's directory, the input aside
};

// calib on bytes stored as dir/<name>, with the outputs it leaves.
Outputs runOn(const std::string& bytes, const std::string& name = "adc.txt",
              const std::string& config = "20mV_calib-odd") {
  TempDir dir;
  writeFile(dir / name, bytes);
  Outputs o;
  o.result = runCalib(dir.path(), {"7", config, "./" + name});
  for (const std::string& file : filesIn(dir.path()))
    if (file != name && fs::is_regular_file(dir.path() / file)) o.files[file] = readFile(dir / file);
  return o;
}

// The JSON results less what differs between a file and its compressed
// twin: the compression, the file's size.
std::string withoutSizes(std::string json) {
  json = std::regex_replace(json, std::regex(R"("adcFileBytes": \d+)"), "");
  return std::regex_replace(json, std::regex(R"("compression": "\w+")"), "");
}

void expectTwins(const Outputs& plain, const Outputs& packed, const std::string& what) {
  EXPECT_EQ(packed.result.exitStatus, plain.result.exitStatus) << what;
  EXPECT_EQ(packed.result.out, plain.result.out) << what;
  EXPECT_EQ(packed.result.err, plain.result.err) << what;
  ASSERT_EQ(packed.files.size(), plain.files.size()) << what;
  for (const auto& [name, text] : plain.files) {
    const std::string& other = packed.files.at(name);
    if (name.ends_with(".json")) {
      EXPECT_EQ(withoutSizes(other), withoutSizes(text)) << what << ": " << name;
    } else {
      EXPECT_TRUE(other == text) << what << ": " << name << " differs";
    }
  }
}

TEST(CompressedInput, GivesExactlyTheOutputsOfItsPlainTwin) {
  // Clean and faulty runs of both detectors; a name that says text.
  sim::SimOptions tpc;
  tpc.trains = 6;
  tpc.dead = {3};
  sim::SimOptions rough = tpc;
  rough.crlf = true;
  rough.finalLineFeed = false;
  rough.extraColumns = 3;
  rough.glitchRate = 0.3;
  sim::SimOptions much;
  much.config = "4mV_calib";
  much.trains = 6;
  for (const auto& [options, config] : {std::pair{tpc, "20mV_calib-odd"}, std::pair{rough, "20mV_calib-odd"},
                                        std::pair{much, "4mV_calib"}}) {
    const std::string text = simulated(options);
    const Outputs plain = runOn(text, "adc.txt", config);
    for (const auto& [name, format, bytes] : packings(text)) {
      const std::string what = name + " of " + config;
      const Outputs packed = runOn(bytes, "adc.txt", config);
      expectTwins(plain, packed, what);
      EXPECT_NE(packed.files.at("gain_kelta7_" + std::string(config) + ".log.json")
                    .find("\"compression\": \"" + std::string(compressionName(format)) + "\""),
                std::string::npos)
          << what;
    }
  }
  // A .gz name on plain text is read as text.
  const std::string text = zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(12);
  const Outputs named = runOn(text, "adc.gz");
  EXPECT_EQ(named.result.exitStatus, 0);
  EXPECT_EQ(named.files.at("gain_kelta7_20mV_calib-odd.log"), runOn(text).files.at("gain_kelta7_20mV_calib-odd.log"));
}

TEST(CompressedInput, ReadingRulesHoldAcrossCompressedBlocks) {
  using namespace std::string_literals;
  const std::string train = zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(12);
  const std::string cases[] = {
      train + std::string(100000, '7') + "\n" + train,  // reading stops at the over-long line
      train + "1 2 3",                                   // a last line without a line feed
      train + "1 0 0 0\0 0 0 0 0 0 0\n"s + train,        // a NUL byte
      std::string(99999, '5') + "\n" + train,            // the longest line there may be
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Outputs plain = runOn(cases[i]);
    for (const Compression format : {Compression::Gzip, Compression::Zstd})
      expectTwins(plain, runOn(compress(format, cases[i], 2)),
                  "case " + std::to_string(i) + ", " + std::string(compressionName(format)));
  }
}

TEST(CompressedInput, CorruptOrTruncatedStreamsAreErrorsAfterWhichWhatWasReadIsWritten) {
  sim::SimOptions options;
  options.trains = 40;
  const std::string text = simulated(options);
  for (const Compression format : {Compression::Gzip, Compression::Zstd}) {
    const std::string name(compressionName(format));
    const std::string packed = compress(format, text);
    std::string corrupt = packed;
    for (std::size_t k = packed.size() / 2; k < packed.size() / 2 + 64; ++k) corrupt[k] = static_cast<char>(~corrupt[k]);
    // Cut short, the text read is sound; corrupt, gzip finds out only at its
    // checksum, after the garbage. After the last gzip member, bytes that
    // are not a member are an error, also after zeros.
    std::vector<std::pair<std::string, std::string>> cases = {
        {packed.substr(0, packed.size() / 2), "the " + name + " data end in the middle of a stream"},
        {corrupt, "corrupt " + name + " data"}};
    if (format == Compression::Gzip) {
      cases.emplace_back(packed + "some trailing garbage\n", "corrupt gzip data: an invalid gzip header");
      cases.emplace_back(packed + std::string(300000, '\0') + "x", "corrupt gzip data: an invalid gzip header");
    }
    for (const auto& [bytes, reason] : cases) {
      const bool truncated = bytes.size() < packed.size();
      const Outputs o = runOn(bytes);
      SCOPED_TRACE(name + ": " + o.result.err);
      EXPECT_EQ(o.result.exitStatus, 1);
      const std::regex message("calib: error reading ADC file '\\./adc\\.txt' after line (\\d+) \\(" + name +
                               " data, at byte (\\d+) of the file\\): " + reason + ".*; the rest of the file was "
                               "ignored\n");
      std::smatch m;
      ASSERT_TRUE(std::regex_search(o.result.err, m, message));
      const long lines = std::stol(m[1]);
      EXPECT_GT(lines, 1000);
      EXPECT_LE(std::stoul(m[2]), bytes.size());
      // The lines read are those of the text, and analysed.
      EXPECT_NE(o.result.out.find("\nline " + std::to_string(lines) + " sample0 adc "), std::string::npos);
      EXPECT_EQ(o.result.out.find("\nline " + std::to_string(lines + 1) + " "), std::string::npos);
      if (truncated) {
        EXPECT_GT(o.files.at("gain_kelta7_20mV_calib-odd.log").size(), 100u);
      }
    }
  }
}

TEST(CompressedInput, TheResultsRecordTheSha256OfTheFileAsStored) {
  const std::string train = zeroLines(12) + pulseTrain(230, 40, 13) + zeroLines(12);
  // Plain, compressed, and read only in part: the hash is of every byte.
  for (const std::string& bytes : {train, compress(Compression::Zstd, train, 2),
                                   compress(Compression::Gzip, train + std::string(100000, '7') + "\n" + train)}) {
    TempDir dir;
    writeFile(dir / "adc.txt", bytes);
    const RunResult r = runCalib(dir.path(), {"--sha256", "--quiet", "7", "20mV_calib-odd", "./adc.txt"});
    const std::string sum = sha256OfFile(dir / "adc.txt").value_or("?");
    EXPECT_NE(readFile(dir / "gain_kelta7_20mV_calib-odd.log.json").find("\"adcSha256\": \"" + sum + "\""),
              std::string::npos)
        << r.err;
  }
  TempDir dir;
  writeFile(dir / "adc.txt", train);
  runCalib(dir.path(), {"--quiet", "7", "20mV_calib-odd", "./adc.txt"});
  EXPECT_NE(readFile(dir / "gain_kelta7_20mV_calib-odd.log.json").find("\"adcSha256\": null"), std::string::npos);
}

TEST(CompressedInput, ProgressCountsTheCompressedBytes) {
  sim::SimOptions options;
  options.trains = 20;
  const std::string text = simulated(options);
  for (const Compression format : {Compression::Gzip, Compression::Zstd}) {
    TempDir dir;
    const std::string packed = compress(format, text);
    writeFile(dir / "adc.txt", packed);
    const Result<InputFile, std::error_code> file = InputFile::open(dir / "adc.txt");
    ASSERT_TRUE(file) << file.error().message();
    const std::unique_ptr<ByteSource> source = openSource(file->fd());
    std::vector<std::uint64_t> seen;
    StreamOptions streamOptions;
    streamOptions.commentary = Commentary::Off;
    streamOptions.progress = [&seen](std::uint64_t bytes) { seen.push_back(bytes); };
    HistogramSet hists = bookHistograms(kPresetTPC);
    std::string out;
    OutBuffer console(stringSink(out));
    const StreamSummary summary = readSampleStream(*source, kPresetTPC, hists, console, streamOptions);
    EXPECT_EQ(summary.textBytes, text.size());
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), packed.size()) << compressionName(format);
  }
}

}  // namespace
}  // namespace calib::test
