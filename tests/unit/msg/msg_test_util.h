// Helpers of the message tests: raw block construction and owning handles.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "client_common/msg_ptr.h"

namespace msgtest {

constexpr uint32_t kHeader = 8;

using vx::MsgPtr;

inline std::string U8(uint8_t v) { return std::string(1, static_cast<char>(v)); }
inline std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
inline std::string Item(const std::string &s) { return U32(static_cast<uint32_t>(s.size())) + s; }
inline std::string NullItem() { return U32(NULL_LENGTH); }
// Encoded fields (tag and payload).
inline std::string FBool(uint8_t v) { return U8(MDT_BOOL) + U8(v); }
inline std::string FInt(int32_t v) { return U8(MDT_INT) + U32(static_cast<uint32_t>(v)); }
inline std::string FUInt(uint32_t v) { return U8(MDT_UINT) + U32(v); }
inline std::string FStr(const std::string &s) { return U8(MDT_STRING) + Item(s); }
inline std::string FSet(std::initializer_list<const char *> items) {
  std::string out = U8(MDT_STRINGSET) + U32(static_cast<uint32_t>(items.size()));
  for (const char *item : items) out += item != nullptr ? Item(item) : NullItem();
  return out;
}

// A whole block: zero header, type, the given field bytes and an end mark.
inline std::string Block(uint16_t type, const std::string &fields, bool end = true) {
  return std::string(kHeader, '\0') + std::string(reinterpret_cast<const char *>(&type), 2) + fields +
         (end ? U8(MDT_END) : "");
}

// A received message over a copy of `block`, or over a malloc'd block it owns.
inline MsgPtr Receive(const std::string &block, int copy, uint32_t *status) {
  void *bytes =
      copy ? const_cast<char *>(block.data()) : memcpy(malloc(block.size() + 1), block.data(), block.size());
  Msg *msg =
      NewMsgFromBuffer(bytes, static_cast<uint32_t>(block.size()), copy, GetMsgTypeTable(), kHeader, status);
  if (msg == nullptr && !copy) free(bytes);
  return MsgPtr(msg);
}

// Whether every status, taken in order, is MSG_OK.
inline bool AllOk(std::initializer_list<uint32_t> statuses) {
  for (uint32_t s : statuses)
    if (s != MSG_OK) return false;
  return true;
}

// The block of a complete message, header included.
inline std::string Bytes(const Msg *msg) {
  uint32_t length = 0;
  const unsigned char *p = MsgGetBuffer(msg, &length, nullptr);
  return p != nullptr ? std::string(reinterpret_cast<const char *>(p), length) : std::string();
}

}  // namespace msgtest
