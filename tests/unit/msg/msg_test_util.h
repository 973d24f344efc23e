// Helpers of the message tests: raw block construction and owning handles.
#ifndef VX_TESTS_UNIT_MSG_MSG_TEST_UTIL_H
#define VX_TESTS_UNIT_MSG_MSG_TEST_UTIL_H

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"

namespace msgtest {

constexpr uint32_t kHeader = 8;
constexpr uint32_t kMagic = 0xABCD8012u;

struct MsgDeleter {
  void operator()(Msg *msg) const { MsgFree(msg); }
};
using MsgPtr = std::unique_ptr<Msg, MsgDeleter>;

inline std::string U8(uint8_t v) { return std::string(1, static_cast<char>(v)); }
inline std::string U16(uint16_t v) { return std::string(reinterpret_cast<const char *>(&v), 2); }
inline std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
inline std::string Item(const std::string &s) { return U32(static_cast<uint32_t>(s.size())) + s; }
inline std::string NullItem() { return U32(NULL_LENGTH); }

// Encoded fields (tag and payload).
inline std::string FBool(uint8_t v) { return U8(MDT_BOOL) + U8(v); }
inline std::string FInt(int32_t v) { return U8(MDT_INT) + U32(static_cast<uint32_t>(v)); }
inline std::string FUInt(uint32_t v) { return U8(MDT_UINT) + U32(v); }
inline std::string FStr(const std::string &s) { return U8(MDT_STRING) + Item(s); }
inline std::string FNullStr() { return U8(MDT_STRING) + NullItem(); }
inline std::string FSet(std::initializer_list<const char *> items) {
  std::string out = U8(MDT_STRINGSET) + U32(static_cast<uint32_t>(items.size()));
  for (const char *item : items) out += item != nullptr ? Item(item) : NullItem();
  return out;
}

// A whole block: zero header, type, the given field bytes and an end mark.
inline std::string Block(uint16_t type, const std::string &fields, bool end = true) {
  return std::string(kHeader, '\0') + U16(type) + fields + (end ? U8(MDT_END) : "");
}

inline MsgPtr Receive(const std::string &block, int copy, uint32_t *status) {
  if (copy) {
    return MsgPtr(NewMsgFromBuffer(const_cast<char *>(block.data()), static_cast<uint32_t>(block.size()), 1,
                                   GetMsgTypeTable(), kHeader, status));
  }
  void *owned = malloc(block.size() + 1);
  memcpy(owned, block.data(), block.size());
  Msg *msg = NewMsgFromBuffer(owned, static_cast<uint32_t>(block.size()), 0, GetMsgTypeTable(), kHeader, status);
  if (msg == nullptr) free(owned);
  return MsgPtr(msg);
}

// A complete message over any bytes, bypassing validation, to show how the
// dump copes with bytes that validation would have refused.
inline MsgPtr Unchecked(const std::string &block) {
  Msg *msg = static_cast<Msg *>(calloc(1, sizeof(Msg)));
  auto *bytes = static_cast<unsigned char *>(malloc(block.size() + 1));
  memcpy(bytes, block.data(), block.size());
  msg->state = MSG_COMPLETE;
  msg->table = GetMsgTypeTable();
  msg->header_size = kHeader;
  msg->start = bytes;
  msg->end = bytes + block.size();
  msg->cur = bytes + (block.size() < kHeader + 2 ? block.size() : kHeader + 2);
  return MsgPtr(msg);
}

// The block of a complete message, header included.
inline std::string Bytes(const Msg *msg) {
  uint32_t length = 0;
  const unsigned char *p = MsgGetBuffer(msg, &length, nullptr);
  return p != nullptr ? std::string(reinterpret_cast<const char *>(p), length) : std::string();
}

inline std::string Dump(const Msg *msg) {
  char *text = MsgDump(msg);
  std::string out = text != nullptr ? text : "<null>";
  free(text);
  return out;
}

}  // namespace msgtest

#endif
