// Whether a file the stand writes is complete: left unchanged (size and
// modification time) for the settle time, or marked complete by the stand
// (a marker file beside it, X_adc.txt.done for X_adc.txt). A file still
// being written is waited for, never analysed half-written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace calib::production {

// What a file looked like when it was checked.
struct FileStamp {
  std::int64_t bytes = 0;
  std::int64_t modifiedNs = 0;  // since the epoch
  bool operator==(const FileStamp&) const = default;
};

// The stamp of path; none when it cannot be read (gone, say).
std::optional<FileStamp> stampOf(const std::string& path);

struct Readiness {
  bool ready = false;
  FileStamp stamp;
  double waitSeconds = 0;  // not ready: how long until it may be (at the settle time, when nothing changes)
  std::string why;         // not ready: "changed 12 s ago (taken once unchanged for 60 s)"
};

// Whether path, as stamp, is ready at nowNs (since the epoch): its marker
// (path + readySuffix, when readySuffix is given) exists, or it was last
// changed settleSeconds or more before. A modification time in the future
// (a clock set wrong, a file server's) counts from firstSeenNs, when the
// stamp was first seen, instead.
Readiness readiness(const std::string& path, const FileStamp& stamp, double settleSeconds,
                    const std::string& readySuffix, std::int64_t nowNs, std::int64_t firstSeenNs);

// Now, in nanoseconds since the epoch (the clock file times are given in).
std::int64_t wallClockNs();

}  // namespace calib::production
