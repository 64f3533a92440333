// The report's trends: per configuration, and per board and per link
// within it, each day's yield, median gain and largest ENC; and which
// boards and links moved by more than the chips' spread. Pure: runs in,
// series out.
//
// A board (or link) is marked when its median gain moved persistently:
//   - the chip spread S of a configuration is 1.4826 × the median absolute
//     deviation of the chip median gains of its runs (at least
//     kMinChipsForSpread of them; with fewer, or S = 0, nothing is marked);
//   - the board's level on a day is the median of its runs' median gains
//     that day; its reference before a day is the median of its runs'
//     median gains on all its earlier days;
//   - a day moved when its level differs from the reference by more than
//     S and by more than kMoveSigmas standard errors of that difference
//     (the median of n values of spread S has a standard error of about
//     1.2533 S / sqrt(n)), so that a day of one chip is not taken for a
//     move of the board;
//   - marked when two of the board's days in a row, each compared with
//     the reference before the first of them, moved in the same direction.
// One noisy day is therefore never a move; a board that stepped and
// stayed is, even when the odd one out was its first day.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "production/site/site_model.hpp"
#include "production/store/run_row.hpp"

namespace calib::production {

// Chip median gains below which a configuration's spread is not estimated.
inline constexpr std::size_t kMinChipsForSpread = 5;
// How many standard errors of the difference a day's level must be away
// from its reference (with the spread, the smaller bar for many chips).
// Chosen on simulated stands (four boards, 3 to 20 days, 1 to 10 chips a
// board and day, 5 % of the chips four times as far off, steady board
// offsets and stand-wide day shifts): at 3 an ordinary board was marked
// in under 1 % of them (at 2, up to 3 %), a board drifting by the chip
// spread a day within ten days of five chips a day in 99 %.
inline constexpr double kMoveSigmas = 3.0;

struct TrendDay {
  std::string day;  // "2018-07-25"
  Yield yield;
  std::vector<double> gains;           // mV/fC: the median gains of the runs that day (fitted-only ones left out)
  std::optional<double> medianGain;    // mV/fC: their median
  std::optional<double> medianMaxEnc;  // e: the median of the runs' largest ENC
  std::optional<double> largestEnc;    // e: the largest of the runs' largest ENC
};

// A board's (or link's) persistent move of its median gain.
struct GainMove {
  std::string since;     // the first of the two days that moved
  double reference = 0;  // mV/fC: the median gain of its runs before that day
  double shift = 0;      // mV/fC: of the two days' moves the smaller, signed
};

struct TrendSeries {
  std::string name;             // the configuration, the board, or "board link"
  std::vector<TrendDay> days;   // the days it has runs, oldest first
  std::optional<GainMove> move;  // boards and links: set when marked
};

struct ConfigTrends {
  std::string config;
  std::size_t chips = 0;         // the runs' median gains the spread is of
  std::optional<double> spread;  // mV/fC
  TrendSeries all;
  std::vector<TrendSeries> boards;  // by board; runs without a board are in `all` only
  std::vector<TrendSeries> links;   // by board and link: link00 of two boards is two cables
};

// runs: those the report shows, any order; each counts once, on the day
// it was measured.
std::vector<ConfigTrends> buildTrends(const std::vector<const RunRow*>& runs);

// The move of a series by the rule above; nullopt when it did not move,
// or when the spread is unknown or zero.
std::optional<GainMove> persistentMove(const std::vector<TrendDay>& days, std::optional<double> spread);

}  // namespace calib::production
