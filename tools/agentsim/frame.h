// Frames on the socket: [magic u32][total length u32, header included][body],
// host byte order, and the 4-byte handshake words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "handlers.h"

namespace agentsim {

constexpr uint32_t kFrameMagic = 0xABCD8012u;
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kMinFrameSize = kHeaderSize + 3;  // type and end mark
constexpr uint32_t kMaxFrameSize = 64u << 20;       // larger requests are dropped
constexpr uint32_t kHello = 3;
constexpr uint32_t kWelcome = 1;
constexpr uint32_t kChallengeType = 3;  // _ProcessAuthChallenge2, and the client's answer

// The handshake word as it goes on the socket.
std::string EncodeWord(uint32_t word);

// A frame of `type` holding `fields`, damaged as `form` says (kCloseMid: only
// the first half of the frame). Encoded here rather than with the message
// module, which builds no string sets and no types outside its table.
std::string EncodeReply(uint32_t type, const std::vector<Field> &fields, ReplyForm form);

// The frame EncodeReply gives, without copying a shared set that ends it.
OutFrame EncodeReplyFrame(uint32_t type, const std::vector<Field> &fields, ReplyForm form);

// Reads the string set that is field number `index` (from 0) of a complete
// message, keeping null items as std::nullopt. MsgGetStringSet cannot be used
// for sets that may hold null items: its array gives no way to find (and
// free) the items after the first null one. Returns MSG_OK, MSG_ERR_END when
// the message has fewer fields, MSG_ERR_TYPE when the field is of another
// kind, MSG_ERR_INVALID for a message that is not complete.
uint32_t ReadStringSetField(const Msg *msg, size_t index, std::vector<std::optional<std::string>> *out);

// True when the connection is closed once a reply of this form is sent.
bool FormClosesConnection(ReplyForm form);

}  // namespace agentsim
