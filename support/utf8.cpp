#include "support/utf8.hpp"

#include <cstdint>

namespace calib {

namespace {

// The length of the valid character at text[i], or 0.
std::size_t characterAt(std::string_view s, std::size_t i) {
  const auto byte = static_cast<unsigned char>(s[i]);
  const std::size_t n = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : (byte >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size() || (n == 1 && byte == 0)) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return 0;
  if (n == 1) return 1;
  // Overlong forms and surrogates are not UTF-8 either.
  std::uint32_t cp = byte & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  return cp >= kMinimum[n] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) ? n : 0;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = characterAt(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = characterAt(text, i);
    if (n > 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace calib
