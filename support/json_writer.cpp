#include "support/json_writer.hpp"

#include <charconv>
#include <cmath>

#include "support/utf8.hpp"

namespace calib {

void JsonWriter::beginInlineArray() {
  separate();
  out_.put("[");
  inlineDepth_ = depth_ + 1;
  first_ = true;
}

void JsonWriter::endInlineArray() {
  out_.put("]");
  inlineDepth_ = 0;
  first_ = false;
}

void JsonWriter::key(std::string_view name) {
  separate();
  string(name);
  out_.put(": ");
  afterKey_ = true;
}

void JsonWriter::value(double v) {
  separate();
  if (!std::isfinite(v)) {
    out_.put("null");
    return;
  }
  char buf[32];
  out_.put(std::string_view(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)));
}

void JsonWriter::value(std::int64_t v) {
  separate();
  char buf[24];
  out_.put(std::string_view(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)));
}

void JsonWriter::value(std::uint64_t v) {
  separate();
  char buf[24];
  out_.put(std::string_view(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)));
}

void JsonWriter::value(bool v) {
  separate();
  out_.put(v ? "true" : "false");
}

void JsonWriter::value(std::string_view v) {
  separate();
  string(v);
}

void JsonWriter::value(std::nullopt_t) {
  separate();
  out_.put("null");
}

void JsonWriter::open(char bracket) {
  separate();
  const char text[2] = {bracket, '\0'};
  out_.put(text);
  ++depth_;
  first_ = true;
}

void JsonWriter::close(char bracket) {
  --depth_;
  if (!first_) newline();
  const char text[2] = {bracket, '\0'};
  out_.put(text);
  first_ = false;
}

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (depth_ == 0) return;
  if (!first_) out_.put(",");
  if (inlineDepth_ == 0) {
    newline();
  } else if (!first_) {
    out_.put(" ");
  }
  first_ = false;
}

void JsonWriter::newline() {
  out_.put("\n");
  for (int i = 0; i < depth_; ++i) out_.put("  ");
}

void JsonWriter::string(std::string_view s) {
  out_.put("\"");
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char ch = static_cast<unsigned char>(s[i]);
    if (ch == '"' || ch == '\\') {
      const char esc[3] = {'\\', static_cast<char>(ch), '\0'};
      out_.put(esc);
      ++i;
    } else if (ch < 0x20 || ch == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      const char esc[7] = {'\\', 'u', '0', '0', kHex[ch >> 4], kHex[ch & 15], '\0'};
      out_.put(esc);
      ++i;
    } else if (ch < 0x80) {
      out_.put(s.substr(i, 1));
      ++i;
    } else if (const std::size_t n = utf8CharacterAt(s, i); n > 0) {
      out_.put(s.substr(i, n));
      i += n;
    } else {
      // JSON text is UTF-8: a byte that is not part of a character becomes
      // the replacement character.
      out_.put("\\ufffd");
      ++i;
    }
  }
  out_.put("\"");
}

}  // namespace calib
