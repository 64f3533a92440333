// UTF-8 checks for text that leaves the program in a format that must be
// UTF-8 (a database's text, JSON) or that a terminal shows: file names and
// messages may be in another encoding, cut in the middle of a character,
// or hold control bytes.
#pragma once

#include <string>
#include <string_view>

namespace calib {

// The length of the valid UTF-8 character at text[i] (no overlong form,
// no surrogate, not NUL), or 0 when the byte there begins none.
std::size_t utf8CharacterAt(std::string_view text, std::size_t i);

// Whether text is valid UTF-8 (no overlong forms, no surrogates, no NUL).
bool isValidUtf8(std::string_view text);

// text with each byte that is not part of a valid UTF-8 character
// replaced by U+FFFD.
std::string validUtf8(std::string_view text);

// text as a terminal may show it: every control character (C0, DEL, C1)
// and every byte not part of a valid UTF-8 character written as an escape,
// "\t", "\n", "\r" or "\xHH" (each byte of a C1 character so), so that a
// file name can neither move the cursor nor rewrite or split a line of a
// table. Other text, backslashes included, is kept.
std::string terminalText(std::string_view text);

}  // namespace calib
