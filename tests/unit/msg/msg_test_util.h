// Helpers of the message tests: received messages over raw blocks, their
// bytes and statuses.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "client_common/msg_ptr.h"
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

}  // namespace msgtest
