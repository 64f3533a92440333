// The files of a test stand's tree for the tests of calib-batch: the paths
// stands write, and simulated runs.
#pragma once

#include <cstdint>
#include <string>

#include "tools/sim/run_writer.hpp"

namespace calib::test {

// A stand's file name for chip and configuration, measured on day at time,
// below "robot/".
std::string standPath(const std::string& chip, const std::string& config, const std::string& day = "20180725",
                      const std::string& time = "123510", const std::string& suffix = "");

// Writes a file, making its directories, modified an hour ago (complete,
// as a batch's settle time sees it).
void put(const std::string& path, const std::string& text);

// A simulated run, gzip-compressed when asked.
void simulate(const std::string& path, sim::SimOptions options, bool gzip = false);

// The options of n trains of an ordinary chip.
sim::SimOptions trains(int n, std::uint64_t seed, const std::string& config = "20mV_calib-odd");

}  // namespace calib::test
