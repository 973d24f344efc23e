// Hooks behind fault.h. The linker's --wrap=X sends every call of X in the
// wrapped executable to __wrap_X and lets __real_X reach the real X.
// Nothing here allocates: the tracker is a fixed table guarded by a spin
// lock, and the per-thread state is plain thread-local data.
#include "fault.h"

#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

namespace vxtest::fault {
namespace {

constexpr const char *kNames[] = {"alloc",      "socket",     "connect", "poll",   "sendmsg",   "recvmsg",
                                  "setsockopt", "getsockopt", "fcntl",   "open",   "read",      "write",
                                  "fstat",      "lstat",      "stat",    "unlink", "ftruncate", "fdopen",
                                  "fseeko",     "mmap",       "madvise"};
static_assert(std::size(kNames) == static_cast<size_t>(Call::kCount));

struct ThreadState {
  bool armed;
  bool from_nth;
  Call call;
  long fail_at;
  int error;
  Stats stats;  // all but the leak fields
};
thread_local ThreadState t_state;

// The errno to inject for this call of `call` made from `caller`, or 0 to
// let it run.
int Injected(Call call, const void *caller) {
  ThreadState &t = t_state;
  if (!t.armed) return 0;
  const long n = ++t.stats.calls[static_cast<int>(call)];
  if (call != t.call || t.fail_at == 0 || (t.from_nth ? n < t.fail_at : n != t.fail_at)) return 0;
  if (t.stats.failed++ == 0) t.stats.failed_caller = caller;
  return t.error;
}

// The blocks allocated while armed and not yet freed, in a fixed table
// (tracking must not allocate); a freed entry takes the last one's place.
constexpr size_t kMaxLive = size_t{1} << 14;

struct Slot {
  void *ptr;
  long index;  // allocation number on the armed thread
  size_t size;
};

struct Tracker {
  std::mutex lock;
  std::atomic<size_t> live{0};
  bool overflow = false;
  Slot slots[kMaxLive];
} g_tracker;
using Locked = std::lock_guard<std::mutex>;

void Track(void *ptr, size_t size) {
  if (ptr == nullptr || !t_state.armed) return;
  Locked guard(g_tracker.lock);
  g_tracker.overflow = g_tracker.overflow || g_tracker.live == kMaxLive;
  if (g_tracker.live < kMaxLive)
    g_tracker.slots[g_tracker.live++] = Slot{ptr, t_state.stats.calls[static_cast<int>(Call::kAlloc)], size};
}

void Untrack(void *ptr) {
  if (ptr == nullptr || g_tracker.live.load() == 0) return;
  Locked guard(g_tracker.lock);
  const size_t live = g_tracker.live;
  for (size_t i = live; i-- > 0;) {  // the newest blocks are freed soonest
    if (g_tracker.slots[i].ptr != ptr) continue;
    g_tracker.slots[i] = g_tracker.slots[live - 1];
    g_tracker.live = live - 1;
    return;
  }
}

Watch *g_watches[2];

// Records the release of a watched block that is `start`, or lies inside
// [start, start + length) for an unmapping.
void Released(const void *start, size_t length, Release how) {
  const auto *s = static_cast<const unsigned char *>(start);
  for (Watch *w : g_watches) {
    const auto *p = static_cast<const unsigned char *>(w != nullptr ? w->ptr : nullptr);
    if (p == nullptr || (how == Release::kUnmap ? p < s || p >= s + length : p != s)) continue;
    if (w->releases++ > 0) continue;
    w->how = how;
    w->zeroed = std::all_of(p, p + w->size, [](unsigned char c) { return c == 0; });
    if (how == Release::kUnmap) w->unmapped = start, w->unmapped_length = length;
  }
}

}  // namespace

const char *CallName(Call call) { return call < Call::kCount ? kNames[static_cast<int>(call)] : "?"; }

void Arm(Call call, long n, int error, bool from_nth) {
  Locked guard(g_tracker.lock);
  g_tracker.live = 0;
  g_tracker.overflow = false;
  t_state = ThreadState{true, from_nth, call, n, error, {}};
}

Stats Disarm() {
  t_state.armed = false;
  Stats s = t_state.stats;
  Locked guard(g_tracker.lock);
  s.outstanding = static_cast<long>(g_tracker.live.load());
  for (size_t i = 0; i < g_tracker.live; ++i) {
    const Slot &slot = g_tracker.slots[i];
    if (s.first_leak != 0 && slot.index >= s.first_leak) continue;
    s.first_leak = slot.index;
    s.first_leak_size = slot.size;
  }
  s.overflow = g_tracker.overflow;
  g_tracker.live = 0;
  return s;
}

long Failures() { return t_state.stats.failed; }

Pause::Pause() : was_(t_state.armed) { t_state.armed = false; }
Pause::~Pause() { t_state.armed = was_; }

void WatchBlocks(Watch *a, Watch *b) {
  g_watches[0] = a;
  g_watches[1] = b;
}

#define VX_CALLER __builtin_return_address(0)

// Each allocating wrapper fails when told to (`on_fail`), or tracks the
// block the real function gives; each freeing wrapper forgets the block.
#define VX_WRAP_ALLOC(type, name, params, args, bytes, on_fail, ...) \
  type __real_##name params __VA_ARGS__;                             \
  type __wrap_##name params __VA_ARGS__ {                            \
    if (Injected(Call::kAlloc, VX_CALLER) != 0) on_fail;             \
    type p = __real_##name args;                                     \
    Track(p, bytes);                                                 \
    return p;                                                        \
  }
#define VX_WRAP_FREE(name, params, args) \
  void __real_##name params noexcept;    \
  void __wrap_##name params noexcept {   \
    Released(ptr, 0, Release::kFree);    \
    Untrack(ptr);                        \
    __real_##name args;                  \
  }
// A system call fails with `failed` and errno; a transfer call also knows end
// of file (0) and short transfers (the statements given after `failed`).
#define VX_WRAP_CALL(type, name, call, params, args, failed, ...) \
  type __real_##name params;                                      \
  type __wrap_##name params {                                     \
    const int e = Injected(Call::call, VX_CALLER);                \
    if (e > 0) return errno = e, (failed);                        \
    if (e == kEof) return 0;                                      \
    if (e == kShort) {                                            \
      __VA_ARGS__;                                                \
    }                                                             \
    return __real_##name args;                                    \
  }

// The wrappers have C linkage: their names are those the linker looks for.
extern "C" {

VX_WRAP_ALLOC(void *, malloc, (size_t size), (size), size, return nullptr)
VX_WRAP_ALLOC(void *, calloc, (size_t count, size_t size), (count, size), count *size, return nullptr)
VX_WRAP_ALLOC(char *, strdup, (const char *s), (s), strlen(s) + 1, return nullptr)
VX_WRAP_ALLOC(char *, strndup, (const char *s, size_t n), (s, n), strnlen(s, n) + 1, return nullptr)
VX_WRAP_ALLOC(void *, _Znwm, (size_t size), (size), size, throw std::bad_alloc())
VX_WRAP_ALLOC(void *, _Znam, (size_t size), (size), size, throw std::bad_alloc())
VX_WRAP_ALLOC(void *, _ZnwmRKSt9nothrow_t, (size_t size, const std::nothrow_t &tag), (size, tag), size,
              return nullptr, noexcept)
VX_WRAP_ALLOC(void *, _ZnamRKSt9nothrow_t, (size_t size, const std::nothrow_t &tag), (size, tag), size,
              return nullptr, noexcept)
VX_WRAP_FREE(free, (void *ptr), (ptr))
VX_WRAP_FREE(_ZdlPv, (void *ptr), (ptr))
VX_WRAP_FREE(_ZdlPvm, (void *ptr, size_t size), (ptr, size))
VX_WRAP_FREE(_ZdaPv, (void *ptr), (ptr))
VX_WRAP_FREE(_ZdaPvm, (void *ptr, size_t size), (ptr, size))

void *__real_realloc(void *ptr, size_t size);
void *__wrap_realloc(void *ptr, size_t size) {
  if (Injected(Call::kAlloc, VX_CALLER) != 0) return nullptr;  // the old block stays valid
  Released(ptr, 0, Release::kRealloc);
  void *p = __real_realloc(ptr, size);
  if (p != nullptr || size == 0) {
    Untrack(ptr);
    Track(p, size);
  }
  return p;
}

// An anonymous mapping is memory like a heap block: it counts, fails and is
// tracked until the mapping is unmapped from its start. Any mapping is also
// an mmap call that may fail on its own.
void *__real_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
void *__wrap_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
  const bool anonymous = (flags & MAP_ANONYMOUS) != 0;
  int e = Injected(Call::kMmap, VX_CALLER);
  if (anonymous && Injected(Call::kAlloc, VX_CALLER) != 0) e = ENOMEM;
  if (e > 0) return errno = e, MAP_FAILED;
  void *p = __real_mmap(addr, length, prot, flags, fd, offset);
  if (anonymous && p != MAP_FAILED) Track(p, length);
  return p;
}

int __real_munmap(void *addr, size_t length);
int __wrap_munmap(void *addr, size_t length) {
  Released(addr, length, Release::kUnmap);
  Untrack(addr);
  return __real_munmap(addr, length);
}

VX_WRAP_CALL(int, socket, kSocket, (int domain, int type, int protocol), (domain, type, protocol), -1)
VX_WRAP_CALL(int, connect, kConnect, (int fd, const sockaddr *addr, socklen_t len), (fd, addr, len), -1)
VX_WRAP_CALL(int, setsockopt, kSetsockopt, (int fd, int level, int name, const void *value, socklen_t len),
             (fd, level, name, value, len), -1)
VX_WRAP_CALL(int, getsockopt, kGetsockopt, (int fd, int level, int name, void *value, socklen_t *len),
             (fd, level, name, value, len), -1)
VX_WRAP_CALL(int, fstat, kFstat, (int fd, struct stat *st), (fd, st), -1)
VX_WRAP_CALL(int, lstat, kLstat, (const char *path, struct stat *st), (path, st), -1)
VX_WRAP_CALL(int, stat, kStat, (const char *path, struct stat *st), (path, st), -1)
VX_WRAP_CALL(int, unlink, kUnlink, (const char *path), (path), -1)
VX_WRAP_CALL(int, ftruncate, kFtruncate, (int fd, off_t length), (fd, length), -1)
VX_WRAP_CALL(int, fseeko, kFseeko, (FILE * stream, off_t offset, int whence), (stream, offset, whence), -1)
VX_WRAP_CALL(FILE *, fdopen, kFdopen, (int fd, const char *mode), (fd, mode), nullptr)
VX_WRAP_CALL(ssize_t, read, kRead, (int fd, void *buf, size_t n), (fd, buf, n), -1,
             n = std::min<size_t>(n, 1))
VX_WRAP_CALL(ssize_t, write, kWrite, (int fd, const void *buf, size_t n), (fd, buf, n), -1,
             n = std::min<size_t>(n, 1))

// One byte of the only buffer: the product passes one iovec.
VX_WRAP_CALL(ssize_t, sendmsg, kSendmsg, (int fd, const struct msghdr *mh, int flags), (fd, mh, flags), -1, {
  struct iovec one = mh->msg_iov[0];
  one.iov_len = std::min<size_t>(one.iov_len, 1);
  struct msghdr copy = *mh;
  copy.msg_iov = &one;
  return __real_sendmsg(fd, &copy, flags);
})
VX_WRAP_CALL(ssize_t, recvmsg, kRecvmsg, (int fd, struct msghdr *mh, int flags), (fd, mh, flags), -1, {
  const size_t full = mh->msg_iov[0].iov_len;
  mh->msg_iov[0].iov_len = std::min<size_t>(full, 1);
  const ssize_t n = __real_recvmsg(fd, mh, flags);
  mh->msg_iov[0].iov_len = full;
  return n;
})

// open and fcntl take an optional third argument.
int __real_open(const char *path, int flags, ...);
int __wrap_open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
  va_end(args);
  if (int e = Injected(Call::kOpen, VX_CALLER); e > 0) return errno = e, -1;
  return __real_open(path, flags, mode);
}

int __real_fcntl(int fd, int command, ...);
int __wrap_fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);  // every command the product uses takes an int or none
  va_end(args);
  if (int e = Injected(Call::kFcntl, VX_CALLER); e > 0) return errno = e, -1;
  return __real_fcntl(fd, command, argument);
}

int __real_poll(struct pollfd *fds, nfds_t n, int timeout);
int __wrap_poll(struct pollfd *fds, nfds_t n, int timeout) {
  if (int e = Injected(Call::kPoll, VX_CALLER); e > 0) return errno = e, -1;
  const int ready = __real_poll(fds, n, timeout);
  if (ready == 0 && timeout > 0 && t_state.armed) ++t_state.stats.timeouts;
  return ready;
}

int __real_madvise(void *addr, size_t length, int advice);
int __wrap_madvise(void *addr, size_t length, int advice) {
  if (t_state.armed) t_state.stats.advice = advice;
  if (int e = Injected(Call::kMadvise, VX_CALLER); e > 0) return errno = e, -1;
  return __real_madvise(addr, length, advice);
}

}  // extern "C"
}  // namespace vxtest::fault
