#include "support/standard_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace calib {

StandardDescriptors secureStandardDescriptors() {
  StandardDescriptors result;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) result.stdoutOpen = false;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened < 0) result.secured = false;
    if (opened > fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  return result;
}

}  // namespace calib
