// Whether the test runs under AddressSanitizer: slower, and freed memory
// stays in quarantine, so time and memory bounds are wider or skipped.
#pragma once

namespace vxtest {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace vxtest
