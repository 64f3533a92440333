// Small pieces of the whole-process benchmark's report that are worth
// testing on their own: the median of repeated timings, Markdown tables and
// replacing the generated part of a README between two marker lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calib::bench {

// The median of values (the mean of the two middle ones for an even count).
// Throws std::invalid_argument for no values.
double median(std::vector<double> values);

// A GitHub Markdown table. Columns are padded to their widest cell so the
// source reads as a table too; cells after the first column are
// right-aligned (numbers). A '|' in a cell is escaped. Rows shorter than the
// header are padded with empty cells; longer ones throw std::invalid_argument.
std::string markdownTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

// Replaces what lies between the line holding beginMarker and the line
// holding endMarker with body (which should end with a line feed). The
// marker lines themselves stay. Returns nothing when either marker is
// missing or the end marker comes first.
std::optional<std::string> replaceBetweenMarkers(std::string_view text, std::string_view beginMarker,
                                                 std::string_view endMarker, std::string_view body);

// A child process's end, as the benchmarks time it.
struct ChildResult {
  int status = 0;       // exit status, or 128 + signal
  double seconds = 0;   // wall time from fork to reaped
  double maxRssMB = 0;  // the child's peak resident set
};

// Runs argv in workDir with standard input from /dev/null and standard
// output to stdoutPath (truncated), standard error to /dev/null unless
// keepStderr. Throws std::runtime_error when it cannot fork or wait.
ChildResult runChild(const std::vector<std::string>& argv, const std::string& workDir, const std::string& stdoutPath,
                     bool keepStderr = false);

// Replaces the part of the file at path between the marker lines with body,
// through a temporary file renamed into place. Throws std::runtime_error.
void updateReadme(const std::string& path, std::string_view beginMarker, std::string_view endMarker,
                  const std::string& body);

}  // namespace calib::bench
