// Which calibration a run is compared with: the latest measurement of the
// same chip and configuration measured before it whose analysis succeeded
// (its verdict is not an error), of other content, and not superseded; of
// two measured at the same time, the one recorded last. A run measured at
// the same time as another has neither as its previous one, and the same
// file's content analysed again (by another calib or under other criteria)
// is never compared with itself. Acceptance (the gain_change reasons),
// history and the report all ask this function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calib::production {

// What the rule reads of a run.
struct CalibrationKey {
  std::int64_t runId = 0;  // 0: a run not recorded yet
  std::string chip;
  std::string config;
  std::string measuredAt;  // ISO-8601, which sorts as time
  std::string sha256;      // of the input's content
  bool succeeded = false;  // analysed: a verdict other than error
  bool current = false;    // not superseded
};

// Whether candidate may be the previous calibration of run.
bool mayPrecede(const CalibrationKey& candidate, const CalibrationKey& run);

// The previous calibration of run among runs, as an index into runs.
std::optional<std::size_t> previousCalibration(const CalibrationKey& run, std::span<const CalibrationKey> runs);

// The previous calibration of every run of runs, by index.
std::vector<std::optional<std::size_t>> previousCalibrations(std::span<const CalibrationKey> runs);

}  // namespace calib::production
