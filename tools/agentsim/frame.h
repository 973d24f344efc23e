// Frames on the socket: [magic u32][total length u32, header included][body],
// host byte order, and the 4-byte handshake words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client_common/lrpc2.h"
#include "client_common/msg_types.h"
#include "faults.h"
#include "handlers.h"

namespace agentsim {

// The wire constants are the library's (LRPC_MAGIC, LRPC_HEADER_SIZE,
// LRPC_HELLO, LRPC_WELCOME, MSGTYPE_AUTH_CHALLENGE2); these bounds are the
// agent's own.
constexpr uint32_t kMinFrameSize = LRPC_HEADER_SIZE + 3;  // type and end mark
constexpr uint32_t kMaxFrameSize = 64u << 20;             // larger requests are dropped

// The handshake word as it goes on the socket.
std::string EncodeWord(uint32_t word);

// A frame of `type` holding `fields`, damaged as `form` says (kCloseMid: only
// the first half of the frame). Encoded here rather than with the message
// module, which builds no string sets and no types outside its table.
std::string EncodeReply(uint32_t type, const std::vector<Field> &fields, ReplyForm form);

// The frame EncodeReply gives, without copying a shared set that ends it.
OutFrame EncodeReplyFrame(uint32_t type, const std::vector<Field> &fields, ReplyForm form);

// True when the connection is closed once a reply of this form is sent.
bool FormClosesConnection(ReplyForm form);

}  // namespace agentsim
