// What the report shows, from the runs recorded: the latest run of every
// chip and configuration with its channels and the calibration before
// it, the yield per day and per configuration, and each configuration's
// distributions and limits. Pure: the database is read elsewhere.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "production/results/results_reader.hpp"
#include "production/rules/criteria.hpp"
#include "production/store/record_filter.hpp"
#include "production/store/store.hpp"

namespace calib::production {

struct SiteRun {
  RunRow row;
  std::vector<ChannelResult> channels;  // those recorded, by channel number; empty when none
  std::optional<std::size_t> previous;  // its previous calibration (previous_calibration.hpp)
  std::optional<double> medianNoise;    // ADC counts
};

struct SiteChip {
  std::string chip;
  std::string page;                  // "chips/<name>.html"
  std::vector<std::size_t> latest;   // the latest run of each configuration shown
  std::vector<std::size_t> history;  // every run shown, oldest first
};

struct Yield {
  std::size_t pass = 0;
  std::size_t fail = 0;
  std::size_t error = 0;
};

// Counts a run of verdict "pass", "fail" or "error" (anything else an error).
void count(Yield& y, const std::string& verdict);

// A value of a latest run beyond its criteria's limit.
struct OutsideLimit {
  std::size_t run = 0;
  std::string what;  // "median gain", "largest ENC", "worst INL"
  double value = 0;
  std::string limit;  // "at most 2500 e", "in 15–25 mV/fC"
};

// The limits a run is judged by: of its criteria, its configuration and
// its detector. Several median-gain windows that match the configuration
// all apply: their overlap.
struct ConfigLimits {
  std::optional<double> gainMin, gainMax;
  std::optional<double> enc;
  std::optional<double> inl;
  std::string criteria;  // "default 1"
};

struct SiteModel {
  std::vector<SiteRun> runs;           // every run not superseded, oldest first
  std::vector<SiteChip> chips;         // by chip
  std::vector<std::size_t> shown;      // the latest runs, by chip and configuration
  std::vector<std::size_t> counted;    // every run shown (those the yields count), oldest first
  std::map<std::string, Yield> byDay;  // "2018-07-25"
  std::map<std::string, Yield> byConfig;
  // By configuration shown: the limits of its most recent run, drawn on
  // its distributions.
  std::map<std::string, ConfigLimits> limits;
  std::vector<OutsideLimit> outside;  // each latest run judged by its own limits
  std::vector<std::string> problems;  // criteria that could not be read
};

// A report of a subset: its runs measured since a day, of the
// configurations a pattern matches.
using SiteFilter = RecordFilter;

// criteria: the text of each criteria set by "name version".
SiteModel buildSiteModel(std::vector<RunRow> runs, const std::vector<ChannelRow>& channels,
                         const std::map<std::string, std::string>& criteria, const SiteFilter& filter);

// A chip string as a file name: lower-case letters, digits and '-' kept,
// every other byte "_xx" (hex), so that two chips never share a page, not
// even where the file system ignores case; a name that would be long is
// cut and ends in a hash of the whole string.
std::string chipFileName(const std::string& chip);

// The median; nullopt for no values.
std::optional<double> median(std::vector<double> values);

}  // namespace calib::production
