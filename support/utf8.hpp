// UTF-8 checks for text that leaves the program in a format that must be
// UTF-8 (a database's text, JSON): file names and messages may be in
// another encoding or cut in the middle of a character.
#pragma once

#include <string>
#include <string_view>

namespace calib {

// Whether text is valid UTF-8 (no overlong forms, no surrogates, no NUL).
bool isValidUtf8(std::string_view text);

// text with each byte that is not part of a valid UTF-8 character
// replaced by U+FFFD.
std::string validUtf8(std::string_view text);

}  // namespace calib
