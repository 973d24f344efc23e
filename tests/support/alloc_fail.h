// Test-only allocator that fails chosen allocations and counts the blocks
// left behind. A test executable linked with `--wrap` for malloc, calloc,
// realloc, free, strdup, strndup, operator new and delete, and mmap and
// munmap of anonymous memory (see
// tests/unit/allocfail/CMakeLists.txt) sends those calls, its own and the
// product's static modules', to the hooks of alloc_fail.cc; the product's
// code is not changed. Elsewhere the link fails on the missing __real_*.
//
// Failures are armed on one thread around the scenario under test: other
// threads (a test agent, say) are never failed nor counted. While armed,
// every block the thread allocates is tracked until it is freed (from any
// thread). A failed malloc, calloc, realloc, strdup or strndup returns null
// (realloc leaves the old block alone); a failed operator new throws
// std::bad_alloc, its nothrow form returns null; a failed anonymous mmap
// returns MAP_FAILED with ENOMEM. A watched block is looked at when it is
// given back, armed or not.
#pragma once

#include <cstddef>

#include "flag_off.h"

namespace vxtest::allocfail {

enum class Mode {
  kNth,      // only allocation number n fails
  kFromNth,  // allocation n and every one after it fail
};

struct Stats {
  long allocations = 0;  // allocation calls on the armed thread since Arm
  long failed = 0;       // how many of them were made to fail
  long outstanding = 0;  // blocks allocated since Arm and not freed
  long first_leak = 0;   // allocation number of the oldest outstanding block
  size_t first_leak_size = 0;
  bool overflow = false;                // more live blocks than the tracker holds (leaks unknown)
  const void *failed_caller = nullptr;  // return address of the first failed call
};

// Arms the calling thread: counting starts at 1 with the next allocation;
// n == 0 fails nothing (counting and leak tracking only).
void Arm(long n, Mode mode = Mode::kNth);

// Disarms and reports what happened since Arm. Blocks still outstanding are
// forgotten afterwards (freeing them later is harmless).
Stats Disarm();

// True while the calling thread is armed (and not paused).
bool Armed();

// Failures injected on the calling thread since Arm, so that a scenario can
// tell whether a call it made met one.
long Failures();

// Suspends failures and tracking on the calling thread while it lives, for
// test-side work inside an armed scenario (building expected values, say).
class Pause : FlagOff {
 public:
  Pause();
};

// How a watched block was given back.
enum class Release { kNone, kFree, kRealloc, kUnmap };

// A block watched until it is given back by any thread: freed (free or
// operator delete), passed to realloc, or inside a range given to munmap.
// The first release records how, whether the first `size` bytes were all
// zero then (wiped), and the range unmapped; later ones only count.
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

}  // namespace vxtest::allocfail
