#include "support/progress.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "support/format.hpp"

namespace calib {

namespace {

constexpr std::uint64_t kBytesPerTenthMB = 100000;
// Longer times are not shown: a nearly unread file or a clock gone wrong
// would give absurd estimates, and the conversion to an integer must stay
// in range.
constexpr double kMaxShownSeconds = 1e8;
// Room for all of formatLine but the rate, which goes through
// writeFixed, whose bound is kMaxFixedChars.
constexpr std::size_t kLineRoom = 128;

// Floor of 100 * read / total, at most 100; the product is formed in 128
// bits, where it cannot overflow.
std::uint64_t percentRead(std::uint64_t read, std::uint64_t total) {
  if (read >= total) return 100;
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(read) * 100 / total);
}

// Whole seconds, rounded down, as M:SS, or H:MM:SS from an hour on; "?:??"
// for a time not worth showing.
char* writeDuration(char* p, double seconds) {
  if (!(seconds < kMaxShownSeconds)) return writeText(p, "?:??");
  const std::int64_t total = seconds > 0 ? static_cast<std::int64_t>(seconds) : 0;
  const std::int64_t hours = total / 3600;
  const std::int64_t minutes = total / 60 % 60;
  if (hours > 0) {
    p = writeInt(p, hours);
    *p++ = ':';
    p = writeInt(p, minutes, 2, '0');
  } else {
    p = writeInt(p, minutes);
  }
  *p++ = ':';
  return writeInt(p, total % 60, 2, '0');
}

}  // namespace

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ProgressMeter::ProgressMeter(std::uint64_t totalBytes, Sink sink, Clock clock, LineFormat format)
    : totalBytes_(totalBytes),
      sink_(std::move(sink)),
      clock_(std::move(clock)),
      format_(std::move(format)),
      start_(clock_()) {}

ProgressMeter::~ProgressMeter() { finish(); }

void ProgressMeter::update(std::uint64_t bytesRead) {
  if (finished_) return;
  const double now = clock_();
  if (drawn_ && now - lastDraw_ < kMinRedrawSeconds) return;
  draw(bytesRead, now);
}

void ProgressMeter::draw(std::uint64_t bytesRead, double now) {
  const std::string line = format_(bytesRead, totalBytes_, now - start_);
  // One write per redraw, so the terminal never shows a half-drawn line.
  std::string text;
  text.reserve(1 + std::max(line.size(), shownLength_));
  text += '\r';
  text += line;
  if (line.size() < shownLength_) text.append(shownLength_ - line.size(), ' ');
  sink_(text);
  shownLength_ = line.size();
  lastDraw_ = now;
  drawn_ = true;
}

void ProgressMeter::finish() {
  if (finished_) return;
  finished_ = true;
  if (!drawn_) return;
  std::string text(shownLength_ + 2, ' ');
  text.front() = '\r';
  text.back() = '\r';
  sink_(text);
  shownLength_ = 0;
}

std::string ProgressMeter::formatLine(std::uint64_t bytesRead, std::uint64_t totalBytes, double elapsedSeconds) {
  const bool known = totalBytes > 0;
  const bool timed = elapsedSeconds > 0;
  std::string line(kLineRoom + kMaxFixedChars(1), '\0');
  char* p = writeText(line.data(), "calib: ");
  if (known) {
    p = writeInt(p, static_cast<std::int64_t>(percentRead(bytesRead, totalBytes)));
    p = writeText(p, "% of ");
  }
  // Tenths of a MB, half rounded up; below 2^50 for any 64-bit count, as
  // writeTenthsFixed1 needs.
  const std::uint64_t shownBytes = known ? totalBytes : bytesRead;
  const std::uint64_t tenths = shownBytes / kBytesPerTenthMB + (shownBytes % kBytesPerTenthMB >= kBytesPerTenthMB / 2);
  p = writeTenthsFixed1(p, static_cast<std::int64_t>(tenths), 0);
  p = writeText(p, " MB read, ");
  const double rate = timed ? static_cast<double>(bytesRead) / 1e6 / elapsedSeconds : 0.0;
  p = writeFixed(p, rate, 0, 1);
  p = writeText(p, " MB/s, ");
  p = writeDuration(p, timed ? elapsedSeconds : 0.0);
  p = writeText(p, " elapsed");
  if (known) {
    double remaining = std::numeric_limits<double>::infinity();
    if (bytesRead >= totalBytes) {
      remaining = 0;
    } else if (timed && bytesRead > 0) {
      remaining =
          std::ceil(elapsedSeconds * static_cast<double>(totalBytes - bytesRead) / static_cast<double>(bytesRead));
    }
    p = writeText(p, ", ");
    p = writeDuration(p, remaining);
    p = writeText(p, " remaining");
  }
  line.resize(static_cast<std::size_t>(p - line.data()));
  return line;
}

std::string ProgressMeter::formatCountLine(std::string_view program, std::string_view unit, std::uint64_t done,
                                           std::uint64_t total, double elapsedSeconds) {
  std::string line(program);
  line += ": " + std::to_string(done) + " of " + std::to_string(total) + " ";
  line += unit;
  char numbers[kLineRoom + kMaxFixedChars(1)];
  const bool timed = elapsedSeconds > 0;
  char* p = writeText(numbers, ", ");
  p = writeFixed(p, timed ? static_cast<double>(done) / elapsedSeconds : 0.0, 0, 1);
  *p++ = ' ';
  line.append(numbers, p);
  line += unit;
  p = writeText(numbers, "/s, ");
  p = writeDuration(p, timed ? elapsedSeconds : 0.0);
  p = writeText(p, " elapsed, ");
  double remaining = std::numeric_limits<double>::infinity();
  if (done >= total) {
    remaining = 0;
  } else if (timed && done > 0) {
    remaining = std::ceil(elapsedSeconds * static_cast<double>(total - done) / static_cast<double>(done));
  }
  p = writeDuration(p, remaining);
  p = writeText(p, " remaining");
  line.append(numbers, p);
  return line;
}

}  // namespace calib
