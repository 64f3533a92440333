// A small streaming JSON writer for the machine-readable outputs.
//
// Objects and arrays are indented by two blanks, one member or element a
// line; an inline array keeps its numbers on one line. Numbers are the
// shortest text that reads back to the same double, which is the same on
// every platform; a value that is not finite becomes null, since JSON has
// no text for it. Strings are escaped as JSON requires and otherwise
// written byte for byte, except that a byte that is not part of a UTF-8
// character becomes \ufffd (JSON text is UTF-8).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "support/out_buffer.hpp"

namespace calib {

class JsonWriter {
 public:
  explicit JsonWriter(OutBuffer& out) : out_(out) {}

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  void beginInlineArray();
  void endInlineArray();

  void key(std::string_view name);

  void value(double v);
  void value(std::int64_t v);
  void value(std::uint64_t v);
  void value(int v) { value(static_cast<std::int64_t>(v)); }
  void value(bool v);
  void value(std::string_view v);
  void value(const char* v) { value(std::string_view(v)); }
  void value(std::nullopt_t);
  template <typename T>
  void value(const std::optional<T>& v) {
    if (v) {
      value(*v);
    } else {
      value(std::nullopt);
    }
  }

  template <typename T>
  void field(std::string_view name, const T& v) {
    key(name);
    value(v);
  }

  // The line feed after the top-level value.
  void end() { out_.put("\n"); }

 private:
  void open(char bracket);
  void close(char bracket);
  // The comma and line break before a value, unless it follows its key.
  void separate();
  void newline();
  void string(std::string_view s);

  OutBuffer& out_;
  int depth_ = 0;
  int inlineDepth_ = 0;
  bool first_ = true;
  bool afterKey_ = false;
};

// name: [v, v, ...] on one line.
template <typename Range>
void numberArray(JsonWriter& json, std::string_view name, const Range& values) {
  json.key(name);
  json.beginInlineArray();
  for (const auto& v : values) json.value(v);
  json.endInlineArray();
}

}  // namespace calib
