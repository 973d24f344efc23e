// Process set-up of a root command: the standard descriptors.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "cli_common.h"

namespace {

constexpr char kNullDevice[] = "/dev/null";
constexpr int kStandardDescriptors = 3;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Descriptors are handed out lowest first, and the lower standard ones are
// open by now, so the open normally yields `fd` itself.
bool OpenNullOn(int fd) {
  const int opened = open(kNullDevice, O_RDWR | O_NOCTTY);
  if (opened < 0) return false;
  if (opened == fd) return true;
  const bool moved = dup2(opened, fd) == fd;
  close(opened);
  return moved;
}

}  // namespace

bool OpenStandardDescriptors() {
  for (int fd = 0; fd < kStandardDescriptors; ++fd) {
    if (!IsOpen(fd) && !OpenNullOn(fd)) return false;
  }
  return true;
}
