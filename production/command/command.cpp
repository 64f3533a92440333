#include "production/command/command.hpp"

namespace calib::production {

void Printer::message(std::string_view text) const {
  std::string line = "calib-batch: ";
  line += text;
  line += '\n';
  err(line);
}

std::string usedText(const std::string& dbUrl, const std::string& configFile) {
  return "database " + dbUrl + ", " + (configFile.empty() ? "no configuration file" : "configuration " + configFile) +
         "\n";
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace calib::production
