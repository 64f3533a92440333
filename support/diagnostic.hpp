// Problems found during a run, carried as values to main, which alone
// prints them ("calib: ...") and picks the exit status.
#pragma once

#include <string>
#include <vector>

namespace calib {

struct Diagnostic {
  enum class Severity { Warning, Error };
  Severity severity;
  std::string message;

  static Diagnostic warning(std::string message) { return {Severity::Warning, std::move(message)}; }
  static Diagnostic error(std::string message) { return {Severity::Error, std::move(message)}; }
};

using Diagnostics = std::vector<Diagnostic>;

inline bool hasError(const Diagnostics& diagnostics) {
  for (const Diagnostic& d : diagnostics)
    if (d.severity == Diagnostic::Severity::Error) return true;
  return false;
}

}  // namespace calib
