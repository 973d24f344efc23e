// Whole-buffer socket I/O with time-outs, and the readiness waits.
#include "client_common/lrpc2_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <algorithm>

#include "client_common/lrpc2.h"

namespace {

// A time-out of 0 means "block without limit": a non-blocking descriptor is
// made blocking for the duration of one call and put back afterwards, even
// when the call fails (errno of the failure is kept).
class BlockingScope {
 public:
  BlockingScope(int fd, uint32_t timeout) : fd_(fd) {
    if (timeout != 0) return;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
      saved_ = flags;
  }
  ~BlockingScope() {
    if (saved_ < 0) return;
    int saved_errno = errno;
    fcntl(fd_, F_SETFL, saved_);
    errno = saved_errno;
  }
  BlockingScope(const BlockingScope &) = delete;
  BlockingScope &operator=(const BlockingScope &) = delete;

 private:
  int fd_;
  int saved_ = -1;
};

ssize_t MoveOnce(int fd, unsigned char *p, size_t n, bool sending) {
  struct iovec iov = {p, n};
  struct msghdr mh = {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  return sending ? sendmsg(fd, &mh, MSG_NOSIGNAL) : recvmsg(fd, &mh, 0);
}

// Waits after EAGAIN. A hang-up or error reported by poll is not taken as
// the answer at once: the next send or receive tells what happened (data
// still queued, end of stream 404, or the real error 405). Only a second
// such report in a row without progress fails with 405.
uint32_t AwaitReady(int fd, uint32_t timeout, bool sending, bool *condition_seen) {
  int ready = sending ? SendWait(fd, timeout) : RecvWait(fd, timeout);
  if (ready == 1) return LRPC_OK;
  if (ready == 0) return LRPC_ERR_TIMEOUT;
  if (errno == EINTR) return LRPC_OK;
  if (errno == 0 && !*condition_seen) {
    *condition_seen = true;
    return LRPC_OK;
  }
  return LRPC_ERR_SOCKET;
}

uint32_t MoveFull(int fd, unsigned char *p, size_t n, uint32_t timeout, bool sending) {
  BlockingScope blocking(fd, timeout);
  bool condition_seen = false;
  size_t done = 0;
  while (done < n) {
    if (sending) {
      // Paces the writer on a full socket buffer; the send itself reports
      // whatever the wait saw, so its result needs no separate check.
      (void)SendWait(fd, timeout);
    } else {
      errno = 0;
    }
    ssize_t moved = MoveOnce(fd, p + done, n - done, sending);
    if (moved > 0) {
      done += static_cast<size_t>(moved);
      condition_seen = false;
      continue;
    }
    if (moved == 0) return LRPC_ERR_CLOSED;
    if (errno == EINTR) continue;
    if (errno == EPIPE) return LRPC_ERR_CLOSED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LRPC_ERR_SOCKET;
    uint32_t status = AwaitReady(fd, timeout, sending, &condition_seen);
    if (status != LRPC_OK) return status;
  }
  errno = 0;
  return LRPC_OK;
}

constexpr int64_t kNsPerSecond = int64_t{1000} * 1000 * 1000;
constexpr int64_t kNsPerMs = int64_t{1000} * 1000;

// Monotonic nanoseconds: a change of the wall clock neither shortens nor
// stretches a wait.
int64_t NowNs() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// Whole milliseconds from now to `deadline`, rounded up; 0 once it has passed.
int MsUntil(int64_t deadline) {
  const int64_t left = deadline - NowNs();
  return left <= 0 ? 0 : static_cast<int>((left + kNsPerMs - 1) / kNsPerMs);
}

}  // namespace

int WaitFd(int fd, short events, uint32_t seconds) {
  struct pollfd pfd = {fd, events, 0};
  int ms = static_cast<int>(std::min(seconds, LRPC_MAX_WAIT_SECONDS) * 1000u);
  // An interrupted poll is repeated with the time left to the deadline, so a
  // stream of signals cannot stretch the wait beyond its time-out.
  const int64_t deadline = NowNs() + ms * kNsPerMs;
  int n;
  while ((n = poll(&pfd, 1, ms)) < 0 && errno == EINTR) ms = MsUntil(deadline);
  if (n == 0) return 0;
  if (n < 0) return -1;
  if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || (pfd.revents & events) != events) {
    errno = 0;
    return -1;
  }
  return 1;
}

int RecvWait(int fd, uint32_t seconds) { return WaitFd(fd, POLLIN, seconds); }

int SendWait(int fd, uint32_t seconds) { return WaitFd(fd, POLLOUT, seconds); }

uint32_t WriteFull(int fd, const void *buf, size_t n, uint32_t timeout) {
  // sendmsg takes a non-const iovec base; the bytes are only read.
  return MoveFull(fd, static_cast<unsigned char *>(const_cast<void *>(buf)), n, timeout, true);
}

uint32_t ReadFull(int fd, void *buf, size_t n, uint32_t timeout) {
  return MoveFull(fd, static_cast<unsigned char *>(buf), n, timeout, false);
}
