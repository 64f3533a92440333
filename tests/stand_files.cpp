#include "stand_files.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>

#include "support/compressor.hpp"
#include "support/out_buffer.hpp"
#include "test_util.hpp"

namespace calib::test {

namespace fs = std::filesystem;

std::string standPath(const std::string& chip, const std::string& config, const std::string& day,
                      const std::string& time, const std::string& suffix) {
  return "robot/" + day + "/" + time + "_kelta" + chip + "/" + time + "_kelta" + chip + "_dunor00_link00_" + config +
         "_adc.txt" + suffix;
}

void put(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  // Written beside the tree and renamed into place, so that a watch never
  // sees it half written (the test directories lie in the same place).
  static std::atomic<unsigned> count{0};
  const fs::path staged = fs::temp_directory_path() / ("calib-put-" + std::to_string(::getpid()) + "-" +
                                                       std::to_string(count++));
  writeFile(staged.string(), text);
  // Written by the stand earlier: complete, as far as its settle time says.
  std::error_code ignored;
  fs::last_write_time(staged, fs::file_time_type::clock::now() - std::chrono::hours(1), ignored);
  fs::rename(staged, path);
}

void simulate(const std::string& path, sim::SimOptions options, bool gzip) {
  std::string text;
  OutBuffer out(stringSink(text));
  sim::writeRun(options, out);
  out.flush();
  if (gzip) {
    std::string packed;
    Compressor compressor(Compression::Gzip, stringSink(packed));
    compressor.sink()(text);
    compressor.finish();
    text = packed;
  }
  put(path, text);
}

sim::SimOptions trains(int n, std::uint64_t seed, const std::string& config) {
  sim::SimOptions o;
  o.trains = n;
  o.seed = seed;
  o.config = config;
  return o;
}

}  // namespace calib::test
