// A progress line while a file is read (normally on standard error, a
// terminal): how much of the file is read, the rate, and the elapsed and
// remaining time; or, with another line format, how many of a number of
// things are done.
//
// The line is redrawn in place with a carriage return and blanks over the
// tail of a longer previous line, and no terminal escape codes, so it works
// on any terminal. Redraws are rate-limited: the reader reports its
// position far more often than a person can read a line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "support/byte_sink.hpp"

namespace calib {

// std::chrono::steady_clock, in seconds.
double steadySeconds();

class ProgressMeter {
 public:
  // Monotonic time in seconds.
  using Clock = std::function<double()>;
  // Receives the text to show (normally a terminal). Its errors are
  // ignored: progress is best effort and must not fail a run.
  using Sink = ByteSink;
  // The text of one line from the amount done, the total (0: unknown) and
  // the seconds elapsed.
  using LineFormat = std::function<std::string(std::uint64_t done, std::uint64_t total, double elapsedSeconds)>;

  // At most ten redraws a second.
  static constexpr double kMinRedrawSeconds = 0.1;

  // totalBytes is the file's size, or 0 when unknown (a pipe): then the
  // line has no percentage and no remaining time. The elapsed time counts
  // from construction.
  ProgressMeter(std::uint64_t totalBytes, Sink sink, Clock clock = steadySeconds, LineFormat format = formatLine);
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;
  // Erases the line, as finish() does, so that an early return leaves no
  // stale line behind.
  ~ProgressMeter();

  // Reports the bytes read so far. The first call draws at once; later ones
  // draw only when kMinRedrawSeconds have passed since the last drawing.
  // Does nothing after finish().
  void update(std::uint64_t bytesRead);

  // Erases the line, if one was drawn, so that later messages start on a
  // clean line. Calling it again does nothing.
  void finish();

  // The text of one line, without the leading "\r" or padding:
  //   calib: 42% of 107.3 MB read, 351.2 MB/s, 0:01 elapsed, 0:02 remaining
  //   calib: 45.1 MB read, 351.2 MB/s, 0:01 elapsed          (size unknown)
  // MB are 10^6 bytes. The percentage is rounded down and capped at 100.
  // Elapsed time is rounded down, remaining time up, so "0:00 remaining"
  // appears only once everything is read. With no time elapsed yet the rate
  // is 0.0 and the remaining time "?:??".
  static std::string formatLine(std::uint64_t bytesRead, std::uint64_t totalBytes, double elapsedSeconds);

  // A line of things counted, e.g. with program "calib-batch" and unit
  // "files":
  //   calib-batch: 12 of 200 files, 3.1 files/s, 0:04 elapsed, 1:01 remaining
  // with the same rounding as formatLine; total is known.
  static std::string formatCountLine(std::string_view program, std::string_view unit, std::uint64_t done,
                                     std::uint64_t total, double elapsedSeconds);

 private:
  void draw(std::uint64_t bytesRead, double now);

  std::uint64_t totalBytes_;
  Sink sink_;
  Clock clock_;
  LineFormat format_;
  double start_;
  double lastDraw_ = 0;
  // Length of the line on screen; 0 when nothing is shown.
  std::size_t shownLength_ = 0;
  bool drawn_ = false;
  bool finished_ = false;
};

}  // namespace calib
