#define PCRE2_CODE_UNIT_WIDTH 8
#include "production/rules/name_pattern.hpp"

#include <pcre2.h>

#include <cctype>

namespace calib::production {

struct NamePattern::Code {
  explicit Code(pcre2_code* c) : code(c) {}
  ~Code() { pcre2_code_free(code); }
  Code(const Code&) = delete;
  Code& operator=(const Code&) = delete;
  pcre2_code* code;
};

namespace {

struct MatchData {
  explicit MatchData(const pcre2_code* code) : data(pcre2_match_data_create_from_pattern(code, nullptr)) {}
  ~MatchData() { pcre2_match_data_free(data); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
  pcre2_match_data* data;
};

// The text of a named group, "" when the pattern has none or it took no
// part in the match.
std::string group(pcre2_match_data* data, const char* name) {
  PCRE2_UCHAR* text = nullptr;
  PCRE2_SIZE length = 0;
  if (pcre2_substring_get_byname(data, reinterpret_cast<PCRE2_SPTR>(name), &text, &length) != 0) return "";
  std::string result(reinterpret_cast<const char*>(text), length);
  pcre2_substring_free(text);
  return result;
}

bool hasGroup(const pcre2_code* code, const char* name) {
  return pcre2_substring_number_from_name(code, reinterpret_cast<PCRE2_SPTR>(name)) >= 0;
}

bool digits(const std::string& s, std::size_t n) {
  if (s.size() != n) return false;
  for (const char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

const std::string& NamePattern::defaultExpression() {
  static const std::string expression =
      R"((?:^|/)(?:(?<date>\d{8})/(?:[^/]+/)?)?(?<time>\d{6})_kelta(?<chip>[^_/]+)_(?<board>[^_/]+)_)"
      R"((?<link>link[^_/]*)_(?<config>[^/]+)_adc\.txt(?:\.gz|\.zst)?$)";
  return expression;
}

Result<NamePattern> NamePattern::compile(const std::string& expression) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expression.c_str()), expression.size(),
                                       0, &code, &offset, nullptr);
  if (compiled == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(code, message, sizeof message);
    return failed("name pattern '" + expression + "': " + reinterpret_cast<const char*>(message) + " at offset " +
                  std::to_string(offset));
  }
  auto shared = std::make_shared<const Code>(compiled);
  for (const char* required : {"chip", "config"})
    if (!hasGroup(compiled, required))
      return failed("name pattern '" + expression + "' has no group (?<" + required + ">…)");
  return NamePattern(std::move(shared), expression);
}

Result<NameFields> NamePattern::match(const std::string& path) const {
  const MatchData match(code_->code);
  const int matched = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(path.c_str()), path.size(), 0, 0,
                                  match.data, nullptr);
  if (matched == PCRE2_ERROR_NOMATCH) return absent("the name does not match the pattern");
  if (matched < 0) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(matched, message, sizeof message);
    return failed("cannot match '" + path + "' against the name pattern '" + expression_ +
                  "': " + reinterpret_cast<const char*>(message));
  }
  NameFields f;
  f.chip = group(match.data, "chip");
  f.config = group(match.data, "config");
  f.stand.date = group(match.data, "date");
  f.stand.time = group(match.data, "time");
  f.stand.board = group(match.data, "board");
  f.stand.link = group(match.data, "link");
  if (f.chip.empty() || f.config.empty()) return absent("the name gives no chip or no configuration");
  if (!f.stand.date.empty() && !standTimestamp(f.stand.date, f.stand.time))
    return absent("date '" + f.stand.date + "' and time '" + f.stand.time + "' in the name are not a date and time");
  return f;
}

std::optional<std::string> standTimestamp(const std::string& date, const std::string& time) {
  const std::string t = time.empty() ? "000000" : time;
  if (!digits(date, 8) || !digits(t, 6)) return std::nullopt;
  const int year = std::stoi(date.substr(0, 4));
  const int month = std::stoi(date.substr(4, 2));
  const int day = std::stoi(date.substr(6, 2));
  const int hour = std::stoi(t.substr(0, 2));
  const int minute = std::stoi(t.substr(2, 2));
  const int second = std::stoi(t.substr(4, 2));
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
      hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + "T" + t.substr(0, 2) + ":" +
         t.substr(2, 2) + ":" + t.substr(4, 2);
}

}  // namespace calib::production
