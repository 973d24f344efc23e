// Hooks behind sys_fail.h. The linker's --wrap=X sends every call of X in
// the wrapped executable to __wrap_X and lets __real_X reach the real X.
#include "sys_fail.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace vxtest::sysfail {
namespace {

constexpr const char *kNames[] = {
    "socket", "connect", "poll", "sendmsg", "recvmsg",   "setsockopt", "fcntl",  "open", "read",    "write",
    "fstat",  "lstat",   "stat", "unlink",  "ftruncate", "fdopen",     "fseeko", "mmap", "madvise",
};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Call::kCount));

struct ThreadState {
  bool armed;
  Call call;
  long fail_at;
  int error;
  bool failed;
  int advice;
  long calls[static_cast<int>(Call::kCount)];
};
thread_local ThreadState t_state;

// The error to inject for this call of `call`, or 0 to let it run.
int Injected(Call call) {
  ThreadState &t = t_state;
  if (!t.armed) return 0;
  const long n = ++t.calls[static_cast<int>(call)];
  if (call != t.call || n != t.fail_at) return 0;
  t.failed = true;
  return t.error;
}

}  // namespace

const char *CallName(Call call) { return call < Call::kCount ? kNames[static_cast<int>(call)] : "?"; }

void Arm(Call call, long n, int error) { t_state = ThreadState{true, call, n, error, false, 0, {}}; }

Stats Disarm() {
  ThreadState &t = t_state;
  t.armed = false;
  Stats s{};
  std::copy(std::begin(t.calls), std::end(t.calls), s.calls);
  s.failed = t.failed;
  s.advice = t.advice;
  return s;
}

bool Failed() { return t_state.failed; }

Pause::Pause() : FlagOff(t_state.armed) {}

}  // namespace vxtest::sysfail

using vxtest::sysfail::Call;
using vxtest::sysfail::Injected;
using vxtest::sysfail::kEof;
using vxtest::sysfail::kShort;

// A plain call that fails with -1 and errno (end of file and short
// transfers do not apply to it).
#define VX_WRAP_PLAIN(type, name, call, params, args)        \
  type __real_##name params;                                 \
  type __wrap_##name params {                                \
    if (int e = Injected(call); e > 0) return errno = e, -1; \
    return __real_##name args;                               \
  }

extern "C" {

VX_WRAP_PLAIN(int, socket, Call::kSocket, (int domain, int type, int protocol), (domain, type, protocol))
VX_WRAP_PLAIN(int, connect, Call::kConnect, (int fd, const struct sockaddr *addr, socklen_t len),
              (fd, addr, len))
VX_WRAP_PLAIN(int, poll, Call::kPoll, (struct pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))
VX_WRAP_PLAIN(int, setsockopt, Call::kSetsockopt,
              (int fd, int level, int name, const void *value, socklen_t len), (fd, level, name, value, len))
VX_WRAP_PLAIN(int, fstat, Call::kFstat, (int fd, struct stat *st), (fd, st))
VX_WRAP_PLAIN(int, lstat, Call::kLstat, (const char *path, struct stat *st), (path, st))
VX_WRAP_PLAIN(int, stat, Call::kStat, (const char *path, struct stat *st), (path, st))
VX_WRAP_PLAIN(int, unlink, Call::kUnlink, (const char *path), (path))
VX_WRAP_PLAIN(int, ftruncate, Call::kFtruncate, (int fd, off_t length), (fd, length))
VX_WRAP_PLAIN(int, fseeko, Call::kFseeko, (FILE * stream, off_t offset, int whence), (stream, offset, whence))

// open and fcntl take an optional third argument.
int __real_open(const char *path, int flags, ...);
int __wrap_open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
  va_end(args);
  if (int e = Injected(Call::kOpen); e > 0) return errno = e, -1;
  return __real_open(path, flags, mode);
}

int __real_fcntl(int fd, int command, ...);
int __wrap_fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);  // every command the product uses takes an int or none
  va_end(args);
  if (int e = Injected(Call::kFcntl); e > 0) return errno = e, -1;
  return __real_fcntl(fd, command, argument);
}

// The transfer calls also know end of file and short transfers.
#define VX_WRAP_TRANSFER(name, call, params, args, shorten) \
  ssize_t __real_##name params;                             \
  ssize_t __wrap_##name params {                            \
    const int e = Injected(call);                           \
    if (e == kEof) return 0;                                \
    if (e > 0) return errno = e, -1;                        \
    if (e == kShort) shorten;                               \
    return __real_##name args;                              \
  }

VX_WRAP_TRANSFER(read, Call::kRead, (int fd, void *buf, size_t n), (fd, buf, n), n = std::min<size_t>(n, 1))
VX_WRAP_TRANSFER(write, Call::kWrite, (int fd, const void *buf, size_t n), (fd, buf, n),
                 n = std::min<size_t>(n, 1))

// One byte of the first non-empty buffer; the product passes one iovec.
ssize_t __real_sendmsg(int fd, const struct msghdr *mh, int flags);
ssize_t __wrap_sendmsg(int fd, const struct msghdr *mh, int flags) {
  const int e = Injected(Call::kSendmsg);
  if (e == kEof) return 0;
  if (e > 0) return errno = e, -1;
  if (e != kShort || mh->msg_iovlen != 1) return __real_sendmsg(fd, mh, flags);
  struct iovec one = mh->msg_iov[0];
  one.iov_len = std::min<size_t>(one.iov_len, 1);
  struct msghdr copy = *mh;
  copy.msg_iov = &one;
  return __real_sendmsg(fd, &copy, flags);
}

ssize_t __real_recvmsg(int fd, struct msghdr *mh, int flags);
ssize_t __wrap_recvmsg(int fd, struct msghdr *mh, int flags) {
  const int e = Injected(Call::kRecvmsg);
  if (e == kEof) return 0;
  if (e > 0) return errno = e, -1;
  if (e != kShort || mh->msg_iovlen != 1) return __real_recvmsg(fd, mh, flags);
  struct iovec *iov = mh->msg_iov;
  const size_t full = iov->iov_len;
  iov->iov_len = std::min<size_t>(full, 1);
  ssize_t n = __real_recvmsg(fd, mh, flags);
  iov->iov_len = full;
  return n;
}

FILE *__real_fdopen(int fd, const char *mode);
FILE *__wrap_fdopen(int fd, const char *mode) {
  if (int e = Injected(Call::kFdopen); e > 0) return errno = e, nullptr;
  return __real_fdopen(fd, mode);
}

int __real_madvise(void *addr, size_t length, int advice);
int __wrap_madvise(void *addr, size_t length, int advice) {
  if (vxtest::sysfail::t_state.armed) vxtest::sysfail::t_state.advice = advice;
  if (int e = Injected(Call::kMadvise); e > 0) return errno = e, -1;
  return __real_madvise(addr, length, advice);
}

// mmap is wrapped once, by the failing allocator (a mapping is memory it
// tracks); its wrapper asks here first whether this call is to fail.
int vxtest_sysfail_mmap_errno() { return Injected(Call::kMmap); }

// Records of the armed thread are kept from the system's log; other
// threads' records pass through. Fortified builds call __syslog_chk.
static void DropOrLog(int priority, const char *format, va_list args) {
  if (!vxtest::sysfail::t_state.armed) vsyslog(priority, format, args);
}

void __wrap_syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  DropOrLog(priority, format, args);
  va_end(args);
}

void __wrap___syslog_chk(int priority, int /*flag*/, const char *format, ...) {
  va_list args;
  va_start(args, format);
  DropOrLog(priority, format, args);
  va_end(args);
}

}  // extern "C"
