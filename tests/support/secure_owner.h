// For tests whose own temporary files must pass the secure opener's owner
// check.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include "util/secure_open.h"

namespace vxtest {

// Whether files the caller creates pass the owner check: the secure opener
// accepts only the first few user ids (root and system accounts).
inline bool OwnFilesPassOwnerCheck() { return geteuid() < SECURE_OPEN_MAX_SYSTEM_UID; }

}  // namespace vxtest

// Skips the running test for a caller whose files the secure opener refuses.
#define VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK()                                  \
  do {                                                                                   \
    if (!vxtest::OwnFilesPassOwnerCheck())                                               \
      GTEST_SKIP() << "needs root: the secure opener refuses files of uid " << geteuid() \
                   << ", and the test's temporary files belong to the caller";           \
  } while (0)
