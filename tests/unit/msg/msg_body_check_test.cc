// Validation of received blocks: NewMsgFromBuffer over the whole block, and
// the body check of a reply that arrives in parts, wherever the parts end,
// give one verdict.
#include <gtest/gtest.h>

#include <string>

#include "client_common/msg_block.h"
#include "msg_test_util.h"

using namespace msgtest;

namespace {

constexpr uint16_t kReply = MSGTYPE_LIST_LOCAL_ACCT;

// Runs the check over `body` arriving in parts that end at `cuts` (ascending)
// and at its end; true when the body is valid.
bool CheckedInParts(const std::string &body, std::initializer_list<size_t> cuts) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(body.data());
  vx_msg::BodyCheck check;
  bool ok = true;
  for (size_t cut : cuts) {
    if (ok) ok = vx_msg::CheckBodyPart(&check, bytes, cut, body.size());
    EXPECT_LE(check.done, cut);
  }
  if (ok) ok = vx_msg::CheckBodyPart(&check, bytes, body.size(), body.size());
  return ok && check.state == vx_msg::BodyCheck::kEnd;
}

TEST(MsgValidation, WholeBlocksAndBodiesInPartsGiveOneVerdict) {
  const std::string every_kind = Bool(1) + Int(-2) + UInt(3) + Str("abc") + U8(MDT_PASSWORD) + Item("pw") +
                                 U8(MDT_BLOB) + NullItem() + Set({"a", nullptr, "", "bcd"}) +
                                 U8(MDT_KEYVALUES) + U32(2) + Item("k") + NullItem() + Item("x") + Item("v");
  const std::string header(kHeader, '\0');
  const struct {
    const char *name;
    std::string block;
    bool valid;
  } cases[] = {
      {"every kind", Block(kReply, every_kind), true},
      {"type and end mark only", Block(kReply, ""), true},
      {"empty set", Block(kReply, Set({})), true},
      {"unknown type", Block(4242, Bool(1)), true},
      {"byte after the end mark", Block(kReply, Bool(0)) + U8(MDT_END), false},
      {"no end mark", Block(kReply, every_kind, false), false},
      {"unknown tag", Block(kReply, U8(MDT_LAST + 1)), false},
      {"counted item too long", Block(kReply, U8(MDT_STRING) + U32(2) + "a"), false},
      {"item length cut short", Block(kReply, U8(MDT_STRING) + "\x01", false), false},
      {"truncated INT", Block(kReply, U8(MDT_INT) + "\x01\x02", false), false},
      {"set count NULL_LENGTH", Block(kReply, U8(MDT_STRINGSET) + U32(NULL_LENGTH)), false},
      {"set count above items", Block(kReply, U8(MDT_STRINGSET) + U32(3) + Item("a") + Item("b")), false},
      {"truncated item", Block(kReply, U8(MDT_STRINGSET) + U32(2) + Item("a") + U32(9) + "xy"), false},
      {"count beyond the body", Block(kReply, U8(MDT_KEYVALUES) + U32(0x40000000u)), false},
      {"pair without value", Block(kReply, U8(MDT_KEYVALUES) + U32(1) + Item("k")), false},
      {"type only", Block(kReply, "", false), false},
      {"half a type", header + "\x71", false},
      {"header only", header, false},
      {"shorter than header", std::string(kHeader - 1, '\0'), false},
      {"empty", std::string(), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (int copy : {0, 1}) {
      uint32_t status = 12345;
      EXPECT_EQ(Receive(c.block, copy, &status) != nullptr, c.valid) << "copy=" << copy;
      EXPECT_EQ(status, c.valid ? MSG_OK : MSG_ERR_INVALID) << "copy=" << copy;
    }
    const std::string body = c.block.size() >= kHeader ? c.block.substr(kHeader) : std::string();
    for (size_t cut = 0; c.block.size() >= kHeader && cut <= body.size(); ++cut) {
      EXPECT_EQ(CheckedInParts(body, {cut}), c.valid) << "two parts, cut at " << cut;
      EXPECT_EQ(CheckedInParts(body, {cut / 3, cut / 2, cut}), c.valid) << "four parts, last cut at " << cut;
    }
  }
  uint32_t status = 0;
  EXPECT_EQ(NewMsgFromBuffer(nullptr, 11, 1, GetMsgTypeTable(), kHeader, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
}

}  // namespace
