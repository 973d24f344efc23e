// Helpers of the message tests: the block notation of the tables in
// testdata/, received messages over raw blocks, their bytes and statuses.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "client_common/msg_ptr.h"
#include "support/table_file.h"
#include "support/wire.h"

namespace msgtest {

constexpr uint32_t kHeader = 8;

using vx::MsgPtr;

using vxtest::Block, vxtest::Bool, vxtest::Int, vxtest::Item, vxtest::NullItem, vxtest::Set, vxtest::Str,
    vxtest::U32, vxtest::U8, vxtest::UInt;

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

// The bytes that the fields of `r` from `from` on give in the block
// notation (described in testdata/blocks.txt); a word not of it fails the test.
inline std::string BlockOf(const vxtest::Row &r, size_t from) {
  static const std::vector<std::string> kTags = {"END",      "BOOL", "INT",       "UINT",     "STRING",
                                                 "PASSWORD", "BLOB", "STRINGSET", "KEYVALUES"};
  std::string block;
  for (size_t i = from; i < r.fields.size(); ++i) {
    const std::string &w = r[i], kind = w.substr(0, w.find(':'));
    const auto tag = std::find(kTags.begin(), kTags.end(), w);
    char *end = nullptr;
    const long long n = kind.size() < w.size() ? strtoll(w.c_str() + kind.size() + 1, &end, 0) : 0;
    const bool number = end != nullptr && *end == '\0' && end != w.c_str() + kind.size() + 1;
    if (r.fields[i].quoted) {
      block += Item(w);
    } else if (tag != kTags.end() || w == "null") {
      block += w == "null" ? NullItem() : U8(static_cast<uint8_t>(tag - kTags.begin()));
    } else if (number && (kind == "u8" || kind == "u32")) {
      block += kind == "u8" ? U8(static_cast<uint8_t>(n)) : U32(static_cast<uint32_t>(n));
    } else if (number && (kind == "msg" || kind == "zeros")) {
      block += kind == "msg" ? Block(static_cast<uint16_t>(n), "", false)
                             : std::string(static_cast<size_t>(n), '\0');
    } else {
      ADD_FAILURE() << r.where << ": " << w;
    }
  }
  return block;
}

}  // namespace msgtest
