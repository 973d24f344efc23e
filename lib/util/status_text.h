// One shape for every module's table of status texts: rows of status and
// text, found by a scan (each table has a few dozen rows at most). A status
// without a row has no text, and the module's Err2Str function gives null.
//
// Internal C++ header: nothing here is exported from the library.
#ifndef VX_UTIL_STATUS_TEXT_H
#define VX_UTIL_STATUS_TEXT_H

#include <stddef.h>
#include <stdint.h>

namespace vx {

struct StatusText {
  uint32_t status;
  const char *text;
};

template <size_t N>
constexpr const char *FindStatusText(const StatusText (&table)[N], uint32_t status) {
  for (const StatusText &row : table) {
    if (row.status == status) return row.text;
  }
  return nullptr;
}

}  // namespace vx

#endif  // VX_UTIL_STATUS_TEXT_H
