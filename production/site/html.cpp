#include "production/site/html.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "support/format.hpp"

namespace calib::production::html {

namespace {

// The drawing area of the charts, in SVG units.
constexpr double kWidth = 420;
constexpr double kHeight = 180;
constexpr double kLeft = 46;
constexpr double kRight = 10;
constexpr double kTop = 24;
constexpr double kBottom = 30;
constexpr int kBins = 24;

std::string coordinate(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

// A short label of an axis value.
std::string tick(double v) {
  char text[32];
  const double size = std::fabs(v);
  std::snprintf(text, sizeof text, size >= 1000 ? "%.0f" : size >= 10 ? "%.1f" : "%.2f", v);
  return text;
}

std::string open(const std::string& id, const std::string& title, const std::string& unit) {
  return "<svg id=\"" + escape(id) + "\" class=\"chart\" viewBox=\"0 0 " + coordinate(kWidth) + " " +
         coordinate(kHeight) + "\" role=\"img\" aria-label=\"" + escape(title) + "\">" + "<text class=\"title\" x=\"" +
         coordinate(kLeft) + "\" y=\"14\">" + escape(title) + (unit.empty() ? "" : " (" + escape(unit) + ")") +
         "</text>";
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string urlPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string number(std::optional<double> value) {
  return value && std::isfinite(*value) ? shortestText(*value) : "";
}

std::string fixed(std::optional<double> value, int decimals) {
  if (!value || !std::isfinite(*value)) return "–";
  return fixedText(*value, decimals);
}

std::string histogram(const std::string& id, const std::string& title, const std::string& unit,
                      const std::vector<double>& values, const std::vector<Limit>& limits,
                      std::optional<double> lowest) {
  std::string svg = open(id, title, unit);
  std::vector<double> finite;
  for (const double v : values)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty()) return svg + "<text x=\"" + coordinate(kLeft) + "\" y=\"90\">no values</text></svg>";
  double low = *std::min_element(finite.begin(), finite.end());
  double high = *std::max_element(finite.begin(), finite.end());
  for (const Limit& l : limits) {
    low = std::min(low, l.value);
    high = std::max(high, l.value);
  }
  const double span = high > low ? high - low : std::max(std::fabs(low), 1.0);
  const double least = low;  // of the values and limits
  low -= span * 0.05;
  high = low + span * 1.1;
  if (lowest && least >= *lowest) low = std::max(low, *lowest);
  const double width = (high - low) / kBins;
  std::vector<int> counts(kBins, 0);
  for (const double v : finite) ++counts[std::clamp(static_cast<int>((v - low) / width), 0, kBins - 1)];
  const int most = *std::max_element(counts.begin(), counts.end());
  const double plotWidth = kWidth - kLeft - kRight;
  const double plotHeight = kHeight - kTop - kBottom;
  const auto x = [&](double v) { return kLeft + (v - low) / (high - low) * plotWidth; };
  for (int b = 0; b < kBins; ++b) {
    if (counts[b] == 0) continue;
    const double h = plotHeight * counts[b] / most;
    svg += "<rect class=\"bar\" x=\"" + coordinate(x(low + b * width)) + "\" y=\"" + coordinate(kTop + plotHeight - h) +
           "\" width=\"" + coordinate(plotWidth / kBins - 1) + "\" height=\"" + coordinate(h) + "\" data-from=\"" +
           number(low + b * width) + "\" data-to=\"" + number(low + (b + 1) * width) + "\" data-count=\"" +
           std::to_string(counts[b]) + "\"><title>" + tick(low + b * width) + " – " + tick(low + (b + 1) * width) +
           ": " + std::to_string(counts[b]) + "</title></rect>";
  }
  const double axis = kTop + plotHeight;
  svg += "<line class=\"axis\" x1=\"" + coordinate(kLeft) + "\" y1=\"" + coordinate(axis) + "\" x2=\"" +
         coordinate(kWidth - kRight) + "\" y2=\"" + coordinate(axis) + "\"/>";
  svg += "<text class=\"tick\" x=\"" + coordinate(kLeft) + "\" y=\"" + coordinate(axis + 14) + "\">" + tick(low) +
         "</text><text class=\"tick end\" x=\"" + coordinate(kWidth - kRight) + "\" y=\"" + coordinate(axis + 14) +
         "\">" + tick(high) + "</text>";
  svg += "<text class=\"tick\" x=\"4\" y=\"" + coordinate(kTop + 8) + "\">" + std::to_string(most) + "</text>";
  for (const Limit& l : limits) {
    const double lx = x(l.value);
    svg += "<line class=\"limit\" data-limit=\"" + number(l.value) + "\" x1=\"" + coordinate(lx) + "\" y1=\"" +
           coordinate(kTop - 4) + "\" x2=\"" + coordinate(lx) + "\" y2=\"" + coordinate(axis) + "\"/>" +
           "<text class=\"limit-label\" x=\"" + coordinate(lx + 3) + "\" y=\"" + coordinate(kTop + 4) + "\">" +
           escape(l.label) + "</text>";
  }
  return svg + "</svg>";
}

std::string channelChart(const std::string& id, const std::string& title, const std::string& unit,
                         const std::vector<std::optional<double>>& values,
                         const std::vector<std::optional<double>>& previous, std::optional<double> lowest) {
  std::string svg = open(id, title, unit);
  double low = 0;
  double high = 0;
  bool any = false;
  for (const auto* series : {&values, &previous})
    for (const std::optional<double>& v : *series)
      if (v && std::isfinite(*v)) {
        low = any ? std::min(low, *v) : *v;
        high = any ? std::max(high, *v) : *v;
        any = true;
      }
  if (!any) return svg + "<text x=\"" + coordinate(kLeft) + "\" y=\"90\">no values</text></svg>";
  const double span = high > low ? high - low : std::max(std::fabs(low) * 0.1, 1.0);
  const double least = low;
  low -= span * 0.1;
  high += span * 0.1;
  if (lowest && least >= *lowest) low = std::max(low, *lowest);
  const double plotWidth = kWidth - kLeft - kRight;
  const double plotHeight = kHeight - kTop - kBottom;
  const std::size_t n = std::max<std::size_t>(values.size(), 1);
  const auto x = [&](std::size_t c) { return kLeft + (c + 0.5) * plotWidth / n; };
  const auto y = [&](double v) { return kTop + plotHeight - (v - low) / (high - low) * plotHeight; };
  const double axis = kTop + plotHeight;
  svg += "<line class=\"axis\" x1=\"" + coordinate(kLeft) + "\" y1=\"" + coordinate(axis) + "\" x2=\"" +
         coordinate(kWidth - kRight) + "\" y2=\"" + coordinate(axis) + "\"/>";
  svg += "<text class=\"tick\" x=\"4\" y=\"" + coordinate(y(high) + 8) + "\">" + tick(high) +
         "</text><text class=\"tick\" x=\"4\" y=\"" + coordinate(axis) + "\">" + tick(low) + "</text>";
  svg += "<text class=\"tick\" x=\"" + coordinate(x(0)) + "\" y=\"" + coordinate(axis + 14) +
         "\">0</text><text class=\"tick end\" x=\"" + coordinate(x(n - 1)) + "\" y=\"" + coordinate(axis + 14) + "\">" +
         std::to_string(n - 1) + "</text>";
  const auto points = [&](const std::vector<std::optional<double>>& series, const char* cls) {
    for (std::size_t c = 0; c < series.size(); ++c)
      if (series[c] && std::isfinite(*series[c]))
        svg += "<circle class=\"" + std::string(cls) + "\" cx=\"" + coordinate(x(c)) + "\" cy=\"" +
               coordinate(y(*series[c])) + "\" r=\"3\" data-channel=\"" + std::to_string(c) + "\" data-value=\"" +
               number(series[c]) + "\"><title>channel " + std::to_string(c) + ": " + tick(*series[c]) +
               "</title></circle>";
  };
  points(previous, "previous");
  points(values, "current");
  return svg + "</svg>";
}

}  // namespace calib::production::html
