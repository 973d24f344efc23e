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

constexpr int64_t kNsPerSecond = int64_t{1000} * 1000 * 1000;
constexpr int64_t kNsPerMs = int64_t{1000} * 1000;

// Without a deadline, "block without limit": a non-blocking descriptor is
// made blocking for the duration of one call and put back afterwards, even
// when the call fails (errno of the failure is kept).
class BlockingScope {
 public:
  BlockingScope(int fd, bool blocking) : fd_(fd) {
    if (!blocking) return;
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
uint32_t AwaitReady(int fd, LrpcDeadline deadline, bool sending, bool *condition_seen) {
  int ready = WaitUntil(fd, sending ? POLLOUT : POLLIN, deadline);
  if (ready == 1) return LRPC_OK;
  if (ready == 0) return LRPC_ERR_TIMEOUT;
  if (errno == 0 && !*condition_seen) {
    *condition_seen = true;
    return LRPC_OK;
  }
  return LRPC_ERR_SOCKET;
}

uint32_t MoveFull(int fd, unsigned char *p, size_t n, LrpcDeadline deadline, bool sending) {
  BlockingScope blocking(fd, deadline.none != 0);
  bool condition_seen = false;
  size_t done = 0;
  while (done < n) {
    if (sending && deadline.none == 0) {
      // Paces the writer on a full socket buffer; the send itself reports
      // whatever the wait saw, so its result needs no separate check.
      (void)WaitUntil(fd, POLLOUT, deadline);
    } else {
      errno = 0;
    }
    ssize_t moved = MoveOnce(fd, p + done, n - done, sending);
    if (moved > 0) {
      done += static_cast<size_t>(moved);
      condition_seen = false;
      // A peer that keeps a byte ready at every call still ends at the
      // deadline.
      if (done < n && DeadlinePassed(deadline)) {
        errno = EAGAIN;
        return LRPC_ERR_TIMEOUT;
      }
      continue;
    }
    if (moved == 0) return LRPC_ERR_CLOSED;
    if (errno == EINTR) continue;
    if (errno == EPIPE) return LRPC_ERR_CLOSED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LRPC_ERR_SOCKET;
    uint32_t status = AwaitReady(fd, deadline, sending, &condition_seen);
    if (status != LRPC_OK) return status;
  }
  errno = 0;
  return LRPC_OK;
}

// Whole milliseconds from now to `deadline`, rounded up; 0 once it has
// passed. Deadlines lie at most LRPC_MAX_WAIT_SECONDS ahead, so this fits.
int MsUntil(int64_t deadline_ns) {
  const int64_t left = deadline_ns - MonotonicNs();
  return left <= 0 ? 0 : static_cast<int>((left + kNsPerMs - 1) / kNsPerMs);
}

LrpcDeadline DeadlineAt(int64_t start_ns, uint32_t seconds) {
  return {start_ns + static_cast<int64_t>(std::min(seconds, LRPC_MAX_WAIT_SECONDS)) * kNsPerSecond, 0};
}

}  // namespace

int64_t MonotonicNs(void) {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

LrpcDeadline OperationDeadline(int64_t start_ns, uint32_t seconds) {
  return seconds == 0 ? LrpcDeadline{0, 1} : DeadlineAt(start_ns, seconds);
}

LrpcDeadline WaitDeadline(int64_t start_ns, uint32_t seconds) { return DeadlineAt(start_ns, seconds); }

int DeadlinePassed(LrpcDeadline deadline) {
  return deadline.none == 0 && MonotonicNs() >= deadline.at_ns ? 1 : 0;
}

int WaitUntil(int fd, short events, LrpcDeadline deadline) {
  struct pollfd pfd = {fd, events, 0};
  // An interrupted poll is repeated with the time left to the deadline, so a
  // stream of signals cannot stretch the wait.
  int n;
  while ((n = poll(&pfd, 1, deadline.none != 0 ? -1 : MsUntil(deadline.at_ns))) < 0 && errno == EINTR) {
  }
  if (n == 0) return 0;
  if (n < 0) return -1;
  if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || (pfd.revents & events) != events) {
    errno = 0;
    return -1;
  }
  return 1;
}

int WaitFd(int fd, short events, uint32_t seconds) {
  return WaitUntil(fd, events, WaitDeadline(MonotonicNs(), seconds));
}

int RecvWait(int fd, uint32_t seconds) { return WaitFd(fd, POLLIN, seconds); }

int SendWait(int fd, uint32_t seconds) { return WaitFd(fd, POLLOUT, seconds); }

uint32_t WriteFullBy(int fd, const void *buf, size_t n, LrpcDeadline deadline) {
  // sendmsg takes a non-const iovec base; the bytes are only read.
  return MoveFull(fd, static_cast<unsigned char *>(const_cast<void *>(buf)), n, deadline, true);
}

uint32_t ReadFullBy(int fd, void *buf, size_t n, LrpcDeadline deadline) {
  return MoveFull(fd, static_cast<unsigned char *>(buf), n, deadline, false);
}

uint32_t WriteFull(int fd, const void *buf, size_t n, uint32_t timeout) {
  return WriteFullBy(fd, buf, n, OperationDeadline(MonotonicNs(), timeout));
}

uint32_t ReadFull(int fd, void *buf, size_t n, uint32_t timeout) {
  return ReadFullBy(fd, buf, n, OperationDeadline(MonotonicNs(), timeout));
}
