#include "bench/bench_report.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace calib::bench {

double median(std::vector<double> values) {
  if (values.empty()) throw std::invalid_argument("median of no values");
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return lower + (upper - lower) / 2;
}

namespace {

std::string escapeCell(const std::string& cell) {
  std::string out;
  for (char c : cell) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

// Display width: UTF-8 continuation bytes take no column.
std::size_t displayWidth(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t fill = width - std::min(width, displayWidth(text));
  std::string out;
  if (right) out.append(fill, ' ');
  out += text;
  if (!right) out.append(fill, ' ');
  return out;
}

}  // namespace

std::string markdownTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
  const std::size_t nColumns = header.size();
  std::vector<std::vector<std::string>> cells;
  cells.reserve(rows.size() + 1);
  cells.push_back({});
  for (const std::string& h : header) cells.back().push_back(escapeCell(h));
  for (const std::vector<std::string>& row : rows) {
    if (row.size() > nColumns) throw std::invalid_argument("table row with more cells than the header");
    cells.push_back({});
    for (const std::string& c : row) cells.back().push_back(escapeCell(c));
    cells.back().resize(nColumns);
  }
  // At least three dashes per column, as Markdown needs.
  std::vector<std::size_t> widths(nColumns, 3);
  for (const auto& row : cells)
    for (std::size_t c = 0; c < nColumns; ++c) widths[c] = std::max(widths[c], displayWidth(row[c]));

  auto line = [&](const std::vector<std::string>& row) {
    std::string out = "|";
    for (std::size_t c = 0; c < nColumns; ++c) {
      out += ' ';
      out += pad(row[c], widths[c], c > 0);
      out += " |";
    }
    out += '\n';
    return out;
  };
  std::string out = line(cells.front());
  out += '|';
  for (std::size_t c = 0; c < nColumns; ++c) {
    out += ' ';
    if (c > 0) {
      out.append(widths[c] - 1, '-');
      out += ':';
    } else {
      out.append(widths[c], '-');
    }
    out += " |";
  }
  out += '\n';
  for (std::size_t r = 1; r < cells.size(); ++r) out += line(cells[r]);
  return out;
}

std::optional<std::string> replaceBetweenMarkers(std::string_view text, std::string_view beginMarker,
                                                 std::string_view endMarker, std::string_view body) {
  const std::size_t begin = text.find(beginMarker);
  if (begin == std::string_view::npos) return std::nullopt;
  const std::size_t afterBeginLine = text.find('\n', begin + beginMarker.size());
  if (afterBeginLine == std::string_view::npos) return std::nullopt;
  const std::size_t end = text.find(endMarker, afterBeginLine);
  if (end == std::string_view::npos) return std::nullopt;
  const std::size_t endLine = text.rfind('\n', end);  // never before afterBeginLine
  std::string out(text.substr(0, afterBeginLine + 1));
  out += body;
  out += text.substr(endLine + 1);
  return out;
}

ChildResult runChild(const std::vector<std::string>& argv, const std::string& workDir, const std::string& stdoutPath,
                     bool keepStderr) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = keepStderr ? STDERR_FILENO : ::open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0 || err < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(126);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0)
    if (errno != EINTR) throw std::runtime_error("wait4 failed");
  const auto stop = std::chrono::steady_clock::now();

  ChildResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.seconds = std::chrono::duration<double>(stop - start).count();
  r.maxRssMB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
  return r;
}

void updateReadme(const std::string& path, std::string_view beginMarker, std::string_view endMarker,
                  const std::string& body) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  const std::optional<std::string> updated = replaceBetweenMarkers(text.str(), beginMarker, endMarker, body);
  if (!updated)
    throw std::runtime_error(path + " lacks the lines " + std::string(beginMarker) + " and " + std::string(endMarker));
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << *updated;
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary);
  }
  std::filesystem::rename(temporary, path);
}

}  // namespace calib::bench
