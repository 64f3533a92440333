// Descriptors 0, 1 and 2 at the start of a program.
#pragma once

namespace calib {

struct StandardDescriptors {
  bool secured = true;     // all three are open now
  bool stdoutOpen = true;  // standard output was open at start
};

// Opens /dev/null on those of descriptors 0, 1 and 2 that are closed:
// otherwise the first file a program opens would take one of their numbers,
// and its commentary would be written into that file.
StandardDescriptors secureStandardDescriptors();

}  // namespace calib
