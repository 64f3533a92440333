// The criteria, one row each: where a criterion is in the criteria file,
// the values it takes, the limit it sets and the check that applies it.
// The file is read (criteria.cpp) and runs are judged (acceptance.cpp)
// from this table alone, in its order, which is the order of a verdict's
// reasons: a new criterion is a field of Criteria, one row and its check.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "production/rules/acceptance.hpp"
#include "production/rules/criteria.hpp"

namespace calib::production {

// A run as its criteria see it: its results, their summary and the
// calibration before it, if any.
class Judged {
 public:
  Judged(const RunResults& results, const ChipSummary& summary, const std::optional<PreviousCalibration>& previous)
      : results(results), summary(summary), previous(previous) {}
  const RunResults& results;
  const ChipSummary& summary;
  const std::optional<PreviousCalibration>& previous;
  // The comparison with the previous calibration (empty without one),
  // computed once for the criteria that need it.
  const GainComparison& comparison() const;

 private:
  mutable std::optional<GainComparison> comparison_;
};

// The values a limit may take: finite, from min to max, whole numbers only
// when integer.
struct Range {
  double min = 0;
  double max = 0;
  bool integer = false;
  bool contains(double value) const;
  std::string describe() const;  // "a finite number, 0 or more", "an integer from 0 to 32"
};

struct Criterion {
  std::string_view section;  // the TOML table: "gain"
  std::string_view key;      // "max_spread_percent"
  Range range;
  // The limit the row sets; null for gain.median, whose windows are an
  // array of tables (Criteria::medianGainWindows).
  std::optional<double> Criteria::*limit;
  // Adds the row's reason when the run breaks the criterion; called only
  // when the criteria set the limit (gain.median: always).
  void (*check)(const Judged& run, const Criteria& criteria, const Criterion& row, std::vector<Reason>& reasons);
};

std::span<const Criterion> criterionTable();

}  // namespace calib::production
