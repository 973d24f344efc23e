// Test-only failing system calls, the counterpart of alloc_fail.h. A test
// executable linked with `--wrap` for the calls listed in Call (see
// tests/unit/sysfail/CMakeLists.txt) sends those calls of its own and of the
// product's static modules to the hooks of sys_fail.cc; the product's code
// is not changed. Elsewhere the link fails on the missing __real_*.
//
// Failures are armed on one thread: other threads (a test agent, say) are
// never failed nor counted. While armed, call number n of the chosen
// function fails with the chosen errno (-1, or null for the stream calls),
// or, for the transfer calls, moves one byte only (kShort) or reports end
// of file (kEof). syslog records of the armed thread never reach the
// system's log.
#pragma once

#include "flag_off.h"

namespace vxtest::sysfail {

enum class Call {
  kSocket,
  kConnect,
  kPoll,
  kSendmsg,
  kRecvmsg,
  kSetsockopt,
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
  kCount,
};
const char *CallName(Call call);

// Pseudo errno values: the call moves one byte only, or reports end of
// file (returns 0).
constexpr int kShort = -1;
constexpr int kEof = -2;

// Arms the calling thread: call number n (counting from 1) of `call` fails
// with `error`; n == 0 fails nothing (counting only).
void Arm(Call call, long n, int error);

struct Stats {
  long calls[static_cast<int>(Call::kCount)];  // calls made while armed
  bool failed;                                 // the chosen call was reached
  int advice;                                  // of the last madvise while armed
};
// Disarms the thread and reports what happened since Arm.
Stats Disarm();

// True once the chosen call has been made to fail since Arm.
bool Failed();

// Suspends failing and counting on the calling thread while it lives, for
// test-side work inside an armed scenario (reading a log file, say).
class Pause : FlagOff {
 public:
  Pause();
};

}  // namespace vxtest::sysfail
