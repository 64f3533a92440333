#include "production/rules/rules.hpp"

namespace calib::production {

Result<Rules> loadRules(const std::string& criteriaFile, const std::string& namePattern) {
  Result<Criteria> criteria = loadCriteria(criteriaFile);
  if (!criteria) return criteria.error();
  Result<NamePattern> pattern =
      NamePattern::compile(namePattern.empty() ? NamePattern::defaultExpression() : namePattern);
  if (!pattern) return pattern.error();
  return Rules{std::move(*criteria), std::move(*pattern)};
}

}  // namespace calib::production
