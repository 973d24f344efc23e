// The body check of a reply that arrives in parts gives the verdict of the
// check of the whole body, wherever the parts end.
#include <gtest/gtest.h>

#include <string>

#include "client_common/msg_block.h"
#include "msg_test_util.h"

using namespace msgtest;

namespace {

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

TEST(MsgBodyCheck, PartsGiveTheVerdictOfTheWholeBody) {
  const std::string type("\x71\x00", 2);
  const std::string every_kind = Bool(1) + Int(-2) + UInt(3) + Str("abc") + U8(MDT_PASSWORD) + Item("pw") +
                                 U8(MDT_BLOB) + NullItem() + Set({"a", nullptr, "", "bcd"}) +
                                 U8(MDT_KEYVALUES) + U32(1) + Item("k") + Item("v");
  const struct {
    const char *name;
    std::string body;
    bool valid;
  } cases[] = {
      {"every kind", type + every_kind + U8(MDT_END), true},
      {"no field", type + U8(MDT_END), true},
      {"empty set", type + Set({}) + U8(MDT_END), true},
      {"byte after the end mark", type + Bool(0) + U8(MDT_END) + U8(MDT_END), false},
      {"no end mark", type + every_kind, false},
      {"unknown tag", type + U8(MDT_LAST + 1) + U8(MDT_END), false},
      {"truncated item", type + U8(MDT_STRINGSET) + U32(2) + Item("a") + U32(9) + "xy" + U8(MDT_END), false},
      {"count beyond the body", type + U8(MDT_KEYVALUES) + U32(0x40000000u) + U8(MDT_END), false},
      {"truncated INT", type + U8(MDT_INT) + "\x01\x02", false},
      {"type only", type, false},
      {"half a type", "\x71", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string block = std::string(kHeader, '\0') + c.body;
    uint32_t status = 0;
    EXPECT_EQ(Receive(block, 1, &status) != nullptr, c.valid) << "NewMsgFromBuffer";
    EXPECT_EQ(CheckedInParts(c.body, {}), c.valid) << "whole body";
    const size_t n = c.body.size();
    for (size_t cut = 0; cut <= n; ++cut) {
      EXPECT_EQ(CheckedInParts(c.body, {cut}), c.valid) << "two parts, cut at " << cut;
      EXPECT_EQ(CheckedInParts(c.body, {cut / 3, cut / 2, cut}), c.valid)
          << "four parts, last cut at " << cut;
    }
  }
}

}  // namespace
