// Building ADC sample text for tests: one line per time sample, 32 values
// separated by blanks.
#pragma once

#include <array>
#include <functional>
#include <string>

namespace calib::test {

using Values = std::array<int, 32>;

inline std::string adcLine(const Values& values) {
  std::string line;
  for (std::size_t c = 0; c < values.size(); ++c) {
    if (c > 0) line += ' ';
    line += std::to_string(values[c]);
  }
  return line + "\n";
}

inline std::string uniformLine(int value) {
  Values v;
  v.fill(value);
  return adcLine(v);
}

inline std::string zeroLines(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += uniformLine(0);
  return text;
}

// A TPC-like pulse train of `length` samples: baseline 60 + channel with a
// fixed ripple of -1..+2 (so baselines have fractions), and
// pulse k of a train peaking at first + 14 k with a height falling from
// 400 by 25 per pulse, with lower neighbours on either side. Channel c's
// pulses arrive c % 3 samples late, so channels differ.
inline std::string pulseTrain(int length, int first, int nPeaks) {
  std::string text;
  for (int s = 0; s < length; ++s) {
    Values v;
    for (int c = 0; c < 32; ++c) {
      int value = 60 + c + (s * 7 + c * 13) % 4 - 1;
      for (int k = 0; k < nPeaks; ++k) {
        const int d = s - (first + c % 3 + 14 * k);
        const int height = 400 - 25 * k;
        if (d == 0)
          value += height;
        else if (d == -1 || d == 1)
          value += height / 2;
        else if (d == 2)
          value += height / 5;
      }
      v[static_cast<std::size_t>(c)] = value;
    }
    text += adcLine(v);
  }
  return text;
}

}  // namespace calib::test
