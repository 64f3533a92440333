// Splitting a text line into integers by the rules ADC files have always
// been read with: strtok(line, " ") to split, atoi to convert.
//
//  - Only the blank separates tokens; runs of blanks and blanks at either
//    end produce no empty token. Tab, CR, VT and FF are token characters.
//  - A token is converted like atoi: leading white space (tab, CR, VT, FF,
//    LF) is skipped, then an optional sign, then decimal digits up to the
//    first other character. No digit there gives 0.
//  - A NUL byte ends the text, as it ends the C string strtok sees.
//  - Beyond the int range the value saturates at INT_MAX / INT_MIN (atoi's
//    own result is undefined there).
#pragma once

#include <cstdint>
#include <string_view>

namespace calib {

// Converts one token (or any text: it stops at the first character that
// cannot continue the number, a blank or NUL included).
int atoiSaturating(std::string_view text);

// Converts the first maxFields tokens of line into out[0..n) and returns n.
// The rest of out is not touched; tokens beyond maxFields are not looked at.
int parseIntFields(std::string_view line, int* out, int maxFields);

// What a line held besides the values it gave.
struct TokenCounts {
  bool more = false;   // tokens follow the first maxFields
  int notNumbers = 0;  // of the tokens converted, those that are not an optional sign and digits
                       // (a carriage return at the end of the line aside)
  bool nul = false;    // a NUL byte ends the line early
};

// parseIntFields, also counting into counts (which it resets). Lines of
// digits and blanks cost nothing more.
int parseIntFields(std::string_view line, int* out, int maxFields, TokenCounts& counts);

// The same, without the AVX2 fast path for lines of digits and blanks:
// what machines without AVX2 run, and what the fast path is tested
// against.
int parseIntFieldsPortable(std::string_view line, int* out, int maxFields);

}  // namespace calib
