// The rules a batch works by: the acceptance criteria and the name pattern
// that reads the stand's file names, read before anything is done so that
// a mistake in either stops a command at once.
#pragma once

#include <string>

#include "production/rules/criteria.hpp"
#include "production/rules/name_pattern.hpp"
#include "support/result.hpp"

namespace calib::production {

struct Rules {
  Criteria criteria;
  NamePattern pattern;
};

// criteriaFile empty: the built-in criteria; namePattern empty: the default.
Result<Rules> loadRules(const std::string& criteriaFile, const std::string& namePattern);

}  // namespace calib::production
