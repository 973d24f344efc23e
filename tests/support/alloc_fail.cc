// Hooks behind alloc_fail.h. The linker's --wrap=X sends every call of X in
// the wrapped executable to __wrap_X and lets __real_X reach the real X.
// Nothing here allocates: the tracker is a fixed table guarded by a spin
// lock, and the per-thread state is plain thread-local data.
#include "alloc_fail.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vxtest::allocfail {
namespace {

struct ThreadState {
  bool armed;
  Mode mode;
  long fail_at;
  long count;
  long failed;
  const void *failed_caller;
};
thread_local ThreadState t_state;

// The blocks allocated while armed and not yet freed, in a fixed table
// (tracking must not allocate); a freed entry takes the last one's place.
constexpr size_t kMaxLive = size_t{1} << 14;

struct Slot {
  void *ptr;
  long index; /* allocation number on the armed thread */
  size_t size;
};

struct Tracker {
  std::atomic_flag lock = ATOMIC_FLAG_INIT;
  std::atomic<size_t> live{0};
  bool overflow = false;
  Slot slots[kMaxLive];
} g_tracker;

class Locked {
 public:
  Locked() {
    while (g_tracker.lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Locked() { g_tracker.lock.clear(std::memory_order_release); }
};

// `caller` is where the product (or test) called the allocation function.
bool ShouldFail(const void *caller) {
  ThreadState &t = t_state;
  if (!t.armed) return false;
  const long n = ++t.count;
  const bool fail = t.mode == Mode::kNth ? n == t.fail_at : (t.fail_at > 0 && n >= t.fail_at);
  if (fail && t.failed++ == 0) t.failed_caller = caller;
  return fail;
}

void Track(void *ptr, size_t size) {
  if (ptr == nullptr || !t_state.armed) return;
  Locked guard;
  if (g_tracker.live == kMaxLive) {
    g_tracker.overflow = true;
    return;
  }
  g_tracker.slots[g_tracker.live++] = Slot{ptr, t_state.count, size};
}

void Untrack(void *ptr) {
  if (ptr == nullptr || g_tracker.live.load() == 0) return;
  Locked guard;
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

void WatchBlocks(Watch *a, Watch *b) {
  g_watches[0] = a;
  g_watches[1] = b;
}

void Arm(long n, Mode mode) {
  {
    Locked guard;
    g_tracker.live = 0;
    g_tracker.overflow = false;
  }
  t_state = ThreadState{true, mode, n, 0, 0, nullptr};
}

Stats Disarm() {
  Stats s;
  ThreadState &t = t_state;
  t.armed = false;
  s.allocations = t.count;
  s.failed = t.failed;
  s.failed_caller = t.failed_caller;
  Locked guard;
  s.outstanding = static_cast<long>(g_tracker.live.load());
  for (size_t i = 0; i < g_tracker.live; ++i) {
    const Slot &slot = g_tracker.slots[i];
    if (s.first_leak == 0 || slot.index < s.first_leak) {
      s.first_leak = slot.index;
      s.first_leak_size = slot.size;
    }
  }
  s.overflow = g_tracker.overflow;
  g_tracker.live = 0;
  return s;
}

bool Armed() { return t_state.armed; }

long Failures() { return t_state.failed; }

Pause::Pause() : FlagOff(t_state.armed) {}

}  // namespace vxtest::allocfail

using vxtest::allocfail::Release;
using vxtest::allocfail::Released;
using vxtest::allocfail::ShouldFail;
using vxtest::allocfail::Track;
using vxtest::allocfail::Untrack;

// Each allocating wrapper fails when told to (`on_fail`), or tracks the
// block the real function gives; each freeing wrapper forgets the block.
#define VX_WRAP_ALLOC(type, name, params, args, size, on_fail, ...) \
  type __real_##name params __VA_ARGS__;                            \
  type __wrap_##name params __VA_ARGS__ {                           \
    if (ShouldFail(__builtin_return_address(0))) on_fail;           \
    type p = __real_##name args;                                    \
    Track(p, size);                                                 \
    return p;                                                       \
  }
#define VX_WRAP_FREE(name, params, args) \
  void __real_##name params noexcept;    \
  void __wrap_##name params noexcept {   \
    Released(ptr, 0, Release::kFree);    \
    Untrack(ptr);                        \
    __real_##name args;                  \
  }

extern "C" {

VX_WRAP_ALLOC(void *, malloc, (size_t size), (size), size, return nullptr)
VX_WRAP_ALLOC(void *, calloc, (size_t count, size_t size), (count, size), count *size, return nullptr)
VX_WRAP_ALLOC(char *, strdup, (const char *s), (s), p != nullptr ? strlen(p) + 1 : 0, return nullptr)
VX_WRAP_ALLOC(char *, strndup, (const char *s, size_t n), (s, n), p != nullptr ? strlen(p) + 1 : 0,
              return nullptr)
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
  if (ShouldFail(__builtin_return_address(0))) return nullptr;  // the old block stays valid
  Released(ptr, 0, Release::kRealloc);
  void *p = __real_realloc(ptr, size);
  if (p != nullptr || size == 0) {
    Untrack(ptr);
    Track(p, size);
  }
  return p;
}

// An anonymous mapping is memory like a heap block: it counts, fails and is
// tracked until the mapping is unmapped from its start. Mappings of files
// are not allocations and pass through.
// The failing-syscall wrapper, when linked in, may fail any mapping first.
int vxtest_sysfail_mmap_errno() __attribute__((weak));
void *__real_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
void *__wrap_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
  if (vxtest_sysfail_mmap_errno != nullptr) {
    if (const int e = vxtest_sysfail_mmap_errno(); e > 0) {
      errno = e;
      return MAP_FAILED;
    }
  }
  const bool anonymous = (flags & MAP_ANONYMOUS) != 0;
  if (anonymous && ShouldFail(__builtin_return_address(0))) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
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

}  // extern "C"
