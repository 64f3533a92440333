#include "production/command/command.hpp"

#include "support/utf8.hpp"

namespace calib::production {

void Printer::message(std::string_view text) const { err(messageLine(text)); }

std::string messageLine(std::string_view text) { return "calib-batch: " + terminalText(text) + "\n"; }

std::string usedText(const std::string& dbUrl, const std::string& configFile) {
  return "database " + dbUrl + ", " + (configFile.empty() ? "no configuration file" : "configuration " + configFile) +
         "\n";
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace calib::production
