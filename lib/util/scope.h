// Cleanup by scope for the C-style modules: owners for blocks that are
// released with free() or with a module's own release function, and the
// null-tolerant status out-parameter setter every module uses.
//
// Internal C++ header: nothing here is exported from the library.
#ifndef VX_UTIL_SCOPE_H
#define VX_UTIL_SCOPE_H

#include <stdint.h>
#include <stdlib.h>

#include <memory>

namespace vx {

// Releases a block obtained from malloc/calloc/realloc/strdup.
struct FreeDeleter {
  void operator()(void *p) const noexcept { free(p); }
};

template <typename T>
using FreePtr = std::unique_ptr<T, FreeDeleter>;

// Releases an object with the module function that owns its kind, for
// example CallDeleter<MsgFree> for messages.
template <auto Release>
struct CallDeleter {
  template <typename T>
  void operator()(T *p) const noexcept {
    Release(p);
  }
};

// Stores a status through an out-parameter the caller may leave null.
inline void SetStatus(uint32_t *status, uint32_t value) {
  if (status != nullptr) *status = value;
}

}  // namespace vx

#endif  // VX_UTIL_SCOPE_H
