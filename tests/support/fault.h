// Test-only fault injection: fails the Nth allocation, or the Nth call of a
// chosen system call with a chosen errno, and counts the blocks left
// behind. A test executable linked with `vx_fault_wrap` (tests/CMakeLists.txt)
// sends those calls, its own and the product's static modules', to the
// hooks of fault.cc through the linker's --wrap; the product's code is not
// changed. Elsewhere the link fails on the missing __real_*.
//
// Faults are armed on one thread around the scenario under test: other
// threads (a test agent, say) are never failed nor counted. While armed,
// every block the thread allocates is tracked until it is freed (from any
// thread).
//
// A failed allocation (malloc, calloc, realloc, strdup, strndup, operator
// new, anonymous mmap) gives null (realloc leaves the old block alone),
// std::bad_alloc from operator new, MAP_FAILED with ENOMEM from mmap. A
// failed system call gives -1 (null for fdopen, MAP_FAILED for mmap) with
// the chosen errno; the transfer calls also know kShort and kEof.
#pragma once

#include <cerrno>
#include <cstddef>

namespace vxtest::fault {

// kAlloc stands for every allocation function above; kMmap is any
// mapping, of a file too (an anonymous one is also a kAlloc).
enum class Call {
  kAlloc,
  kSocket,
  kConnect,
  kPoll,
  kSendmsg,
  kRecvmsg,
  kSetsockopt,
  kGetsockopt,
  kFcntl,
  kOpen,
  kRead,
  kWrite,
  kFstat,
  kLstat,
  kStat,
  kUnlink,
  kFtruncate,
  kFdopen,
  kFseeko,
  kMmap,
  kMadvise,
  kCount
};
const char *CallName(Call call);

// Pseudo errno values for read, write, sendmsg and recvmsg: the call moves
// one byte only, or reports end of file (returns 0).
constexpr int kShort = -1;
constexpr int kEof = -2;

// Arms the calling thread: call number n (counting from 1) of `call` fails
// with `error`, and with `from_nth` every later one too; n == 0 fails
// nothing (counting and leak tracking only).
void Arm(Call call, long n, int error = ENOMEM, bool from_nth = false);

struct Stats {
  long calls[static_cast<int>(Call::kCount)];  // calls made while armed
  long failed;                                 // how many of them were made to fail
  const void *failed_caller;                   // return address of the first failed call
  long outstanding;                            // blocks allocated while armed and not freed
  long first_leak;                             // allocation number of the oldest of them
  size_t first_leak_size;                      // and its size in bytes
  bool overflow;                               // more live blocks than the tracker holds (leaks unknown)
  int advice;                                  // of the last madvise while armed
  long timeouts;                               // polls that waited their whole time-out while armed
};
// Disarms and reports what happened since Arm. Blocks still outstanding are
// forgotten afterwards (freeing them later is harmless).
Stats Disarm();

// Failures injected on the calling thread since Arm.
long Failures();

// Suspends failing, counting and tracking on the calling thread while it
// lives, for test-side work inside an armed scenario.
class Pause {
 public:
  Pause();
  ~Pause();
  Pause(const Pause &) = delete;
  Pause &operator=(const Pause &) = delete;

 private:
  bool was_;
};

// How a watched block was given back.
enum class Release { kNone, kFree, kRealloc, kUnmap };

// A block watched until it is given back by any thread, armed or not:
// freed (free or operator delete), passed to realloc, or inside a range
// given to munmap. The first release records how, whether the first `size`
// bytes were all zero then (wiped), and the range unmapped; later ones only
// count.
struct Watch {
  const void *ptr = nullptr;
  size_t size = 0;
  Release how = Release::kNone;
  bool zeroed = false;
  int releases = 0;
  const void *unmapped = nullptr;
  size_t unmapped_length = 0;
};

// Watches `*a` and `*b` (either may be null) instead of the blocks before.
void WatchBlocks(Watch *a, Watch *b = nullptr);

}  // namespace vxtest::fault
