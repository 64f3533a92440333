// calib-bench-yardstick FILE: the plainest program that reads an ADC file
// the way calib must: getline into a buffer of 100000 characters, strtok on
// blanks, atoi on the first 32 values, the zero-line and window counts, and
// printf of calib's commentary line for every input line. calib's own time
// is measured against it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: calib-bench-yardstick FILE\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  static char line[100000];
  int values[32] = {};
  long n = 0;
  int nsamples = 0;
  int zeros = 0;
  while (in.getline(line, sizeof line)) {
    ++n;
    int c = 0;
    int low = 0;
    for (char* token = std::strtok(line, " "); token != nullptr && c < 32; token = std::strtok(nullptr, " ")) {
      values[c] = std::atoi(token);
      low += values[c] <= 39;
      ++c;
    }
    if (low > 8) {
      ++zeros;
    } else {
      if (zeros >= 10 || nsamples >= 300) nsamples = 0;
      zeros = 0;
      ++nsamples;
    }
    std::printf("line %ld sample0 adc %d nsamples %d nZerosInARow %d\n", n, values[0], nsamples, zeros);
  }
  return 0;
}
