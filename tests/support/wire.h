// Builders of LRPC2 wire bytes for tests and benchmarks: fields, message
// blocks and whole frames, in host byte order like the protocol.
#pragma once

#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "client_common/lrpc2.h"
#include "client_common/msg.h"

namespace vxtest {

using Bytes = std::string;

inline Bytes U8(uint8_t v) { return Bytes(1, static_cast<char>(v)); }
inline Bytes U32(uint32_t v) { return Bytes(reinterpret_cast<const char *>(&v), 4); }
inline Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// A counted item, and the null item (length NULL_LENGTH, no bytes).
inline Bytes Item(std::string_view s) { return U32(static_cast<uint32_t>(s.size())) + Bytes(s); }
inline Bytes NullItem() { return U32(NULL_LENGTH); }

// Fields: tag and payload.
inline Bytes Bool(uint8_t v) { return U8(MDT_BOOL) + U8(v); }
inline Bytes Int(int32_t v) { return U8(MDT_INT) + U32(static_cast<uint32_t>(v)); }
inline Bytes UInt(uint32_t v) { return U8(MDT_UINT) + U32(v); }
inline Bytes Str(std::string_view s) { return U8(MDT_STRING) + Item(s); }
// A string set; a null pointer among the items is a null item.
inline Bytes Set(std::initializer_list<const char *> items) {
  Bytes out = U8(MDT_STRINGSET) + U32(static_cast<uint32_t>(items.size()));
  for (const char *item : items) out += item != nullptr ? Item(item) : NullItem();
  return out;
}
inline Bytes Set(const std::vector<std::string> &items) {
  Bytes out = U8(MDT_STRINGSET) + U32(static_cast<uint32_t>(items.size()));
  for (const std::string &item : items) out += Item(item);
  return out;
}

// Type, fields and (unless `end` is false) the end mark.
inline Bytes Body(uint16_t type, const Bytes &fields, bool end = true) {
  return Bytes(reinterpret_cast<const char *>(&type), 2) + fields + (end ? U8(MDT_END) : Bytes());
}
// A message block as NewMsgFromBuffer takes it: a zeroed frame header first.
inline Bytes Block(uint16_t type, const Bytes &fields, bool end = true) {
  return Bytes(LRPC_HEADER_SIZE, '\0') + Body(type, fields, end);
}
// A whole frame: magic, total length, type, fields, end mark.
inline Bytes Frame(uint16_t type, const Bytes &fields = {}, uint32_t magic = LRPC_MAGIC) {
  const Bytes body = Body(type, fields);
  return U32(magic) + U32(static_cast<uint32_t>(LRPC_HEADER_SIZE + body.size())) + body;
}
inline uint16_t FrameType(const Bytes &frame) {
  uint16_t type = 0;
  if (frame.size() >= LRPC_HEADER_SIZE + 2) memcpy(&type, frame.data() + LRPC_HEADER_SIZE, 2);
  return type;
}

}  // namespace vxtest
