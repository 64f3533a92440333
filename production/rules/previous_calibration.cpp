#include "production/rules/previous_calibration.hpp"

#include <map>
#include <tuple>
#include <utility>

namespace calib::production {

bool mayPrecede(const CalibrationKey& candidate, const CalibrationKey& run) {
  return candidate.current && candidate.succeeded && candidate.chip == run.chip && candidate.config == run.config &&
         candidate.measuredAt < run.measuredAt && candidate.sha256 != run.sha256;
}

std::optional<std::size_t> previousCalibration(const CalibrationKey& run, std::span<const CalibrationKey> runs) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (!mayPrecede(runs[i], run)) continue;
    if (!best || std::tie(runs[i].measuredAt, runs[i].runId) > std::tie(runs[*best].measuredAt, runs[*best].runId))
      best = i;
  }
  return best;
}

std::vector<std::optional<std::size_t>> previousCalibrations(std::span<const CalibrationKey> runs) {
  // Each run against the runs of its own chip and configuration only.
  std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < runs.size(); ++i) groups[{runs[i].chip, runs[i].config}].push_back(i);
  std::vector<std::optional<std::size_t>> previous(runs.size());
  std::vector<CalibrationKey> group;
  for (const auto& [key, members] : groups) {
    group.clear();
    for (const std::size_t i : members) group.push_back(runs[i]);
    for (std::size_t k = 0; k < members.size(); ++k)
      if (const std::optional<std::size_t> p = previousCalibration(group[k], group)) previous[members[k]] = members[*p];
  }
  return previous;
}

}  // namespace calib::production
