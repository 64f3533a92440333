#include "support/utf8.hpp"

#include <algorithm>
#include <cstdint>

namespace calib {

std::size_t utf8CharacterAt(std::string_view s, std::size_t i) {
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

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8CharacterAt(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8CharacterAt(text, i);
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

std::string terminalText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t n = utf8CharacterAt(text, i);
    // C1 controls, U+0080 to U+009F, are \xC2 followed by \x80 to \x9F.
    const bool c1 = n == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (n > 0 && !c1 && byte >= 0x20 && byte != 0x7F) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    for (const std::size_t end = i + std::max<std::size_t>(n, 1); i < end; ++i) {
      const auto b = static_cast<unsigned char>(text[i]);
      if (b == '\t') {
        out += "\\t";
      } else if (b == '\n') {
        out += "\\n";
      } else if (b == '\r') {
        out += "\\r";
      } else {
        out += {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
      }
    }
  }
  return out;
}

}  // namespace calib
