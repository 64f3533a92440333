// What the overview puts first and how it words it, from the site model:
// the runs that need attention (failed or could not be judged on the
// latest day measured, and earlier in the period a filtered report
// shows), a run's reasons as short codes with the value each is about,
// and how the values outside the limits drawn relate to the fails. Pure.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "production/site/site_model.hpp"

namespace calib::production {

// A reason as the tables show it: its code and the figure it is about.
struct ShortReason {
  std::string code;   // "gain_spread"
  std::string value;  // "7.5 %", "2600 e (ch 4)"; "" when the code says it all (the errors)
  std::string text() const { return value.empty() ? code : code + " " + value; }
};

// The reasons of a run, in the order it was given them, each with its
// figure: taken from the run's own summary, and for the gain changes from
// the comparison with its previous calibration.
std::vector<ShortReason> shortReasons(const SiteModel& model, const SiteRun& run);

// A reason's detail cut for a line of a table: a path as its file name
// only, the first clause, at most kBriefLength characters ("…" after a cut).
inline constexpr std::size_t kBriefLength = 60;
std::string briefDetail(const std::string& detail);

// A run that needs attention, and the latest run of its chip and
// configuration shown when that one came later (measured again).
struct AttentionRun {
  std::size_t run = 0;
  std::optional<std::size_t> since;
};

struct Attention {
  std::string latestDay;                  // "2018-07-26": the latest day measured among the runs shown; "" when none
  std::size_t runsOfLatestDay = 0;        // every run shown measured that day
  std::size_t runsEarlier = 0;            // every run shown measured before it
  std::vector<AttentionRun> ofLatestDay;  // its runs that failed or are errors, newest first
  // A filtered report's period before the latest day: the same, newest
  // first. Empty when the report is not filtered.
  std::vector<AttentionRun> earlier;
};

// Every run the filter shows counts, as in the yield by day: a chip that
// failed in the morning and passed in the afternoon is listed, with the
// pass beside it.
Attention needsAttention(const SiteModel& model, const SiteFilter& filter);

// The chip configurations whose latest run failed, against the list of
// values outside the limits drawn: the limits drawn are median gain,
// largest ENC and worst INL, while a chip fails on any criterion.
struct OutsideAccount {
  std::size_t fails = 0;          // latest runs shown that failed
  std::size_t failsOutside = 0;   // of them, those with a value in the list
  std::size_t othersOutside = 0;  // runs in the list that did not fail (errors with figures)
  // The fails not in the list, counted by each of their reason codes, the
  // most frequent first (a run with two codes counts under both).
  std::vector<std::pair<std::string, std::size_t>> otherFailCodes;
};

OutsideAccount accountForOutside(const SiteModel& model);

// The codes of a run's reasons: "channels_not_ok,gain_spread" split.
std::vector<std::string> reasonCodesOf(const RunRow& row);

}  // namespace calib::production
