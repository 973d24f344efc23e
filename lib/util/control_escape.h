// Control bytes shown as text, for bytes from elsewhere on their way to a
// log line or a terminal: a line feed must not start a forged record, and an
// escape sequence must not steer the administrator's terminal.
//
// Escaped are the C0 controls except tab (0x00-0x08, 0x0a-0x1f) and DEL
// (0x7f): line feed as "\n", carriage return as "\r", every other one as
// "\x" and two lower-case hexadecimal digits ("\x1b"). Tab, a backslash and
// every other byte (bytes above 0x7f included) stay as they are, so the
// escaped text of plain text is that text, byte for byte.
//
// Header only, and inline: the command (which links only the exported
// library) and the library share it without a new exported name.
#ifndef VX_UTIL_CONTROL_ESCAPE_H
#define VX_UTIL_CONTROL_ESCAPE_H

#include <stddef.h>

namespace vx {

// Longest escape of one byte ("\x1b").
inline constexpr size_t kControlEscapeMax = 4;

// True for a byte that is shown escaped.
inline bool IsEscapedControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }

// Writes the escape of control byte `c` to `out` (room for
// kControlEscapeMax bytes, no NUL added) and returns its length.
inline size_t EscapeControl(unsigned char c, char *out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  if (c == '\n' || c == '\r') {
    out[1] = c == '\n' ? 'n' : 'r';
    return 2;
  }
  out[1] = 'x';
  out[2] = kHex[c >> 4];
  out[3] = kHex[c & 0xf];
  return kControlEscapeMax;
}

// Copies `length` bytes of `in` to `out`, which has room for `room` bytes,
// with control bytes escaped; stops before the first byte whose rendering
// does not fit whole, so an escape is never cut. Returns the bytes written
// (no NUL added) and sets *taken, when not null, to the input bytes used.
inline size_t EscapeControls(const char *in, size_t length, char *out, size_t room, size_t *taken) {
  size_t used = 0, i = 0;
  for (; i < length; ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (!IsEscapedControl(c)) {
      if (used == room) break;
      out[used++] = static_cast<char>(c);
    } else {
      char escape[kControlEscapeMax];
      const size_t n = EscapeControl(c, escape);
      if (room - used < n) break;
      for (size_t k = 0; k < n; ++k) out[used++] = escape[k];
    }
  }
  if (taken != nullptr) *taken = i;
  return used;
}

}  // namespace vx

#endif
