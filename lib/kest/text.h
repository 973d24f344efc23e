// Small text helpers of the support library.
#pragma once

#include <sys/types.h>

#include <string>

#include "kest/api.h"

namespace kest {

// Decimal text of a user id.
KEST_API std::string uidtoa(uid_t uid);

// Copy of `text` with the ASCII letters lower-cased; other bytes unchanged.
KEST_API std::string lower(const std::string &text);

// The program's short name (the last component of the name it was started
// by); empty until detect_progname() has run.
KEST_API const std::string &progname();

// Fills in the short program name when it is empty: the last component of
// the name the program was started by, else the kernel's name for the
// process, else "unknown".
KEST_API void detect_progname();

}  // namespace kest
