// Validation of received blocks: NewMsgFromBuffer over the whole block, and
// the body check of a reply that arrives in parts, wherever the parts end,
// give the verdict of testdata/blocks.txt; a received message has the type
// of its bytes, the flags of its type's row and the dump of its bytes.
#include <gtest/gtest.h>

#include <string>

#include "client_common/msg_block.h"
#include "client_common/msg_types.h"
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

TEST(MsgValidation, WholeBlocksAndBodiesInPartsGiveOneVerdict) {
  for (const BlockRow &row : BlockRows()) {
    SCOPED_TRACE(row.line);
    for (int copy : {0, 1}) {
      std::string bytes = row.block;
      uint32_t status = 12345, type = 0, oneway = 9;
      uint16_t written = 0;
      MsgPtr msg = Receive(bytes, copy, &status);
      bytes.assign(bytes.size(), '\x7f');  // a copy is the message's own
      EXPECT_EQ(msg != nullptr, row.valid) << "copy=" << copy;
      EXPECT_EQ(status, row.valid ? MSG_OK : MSG_ERR_INVALID) << "copy=" << copy;
      if (msg == nullptr) continue;
      char *dump = MsgDump(msg.get());
      EXPECT_STREQ(dump, row.dump.c_str());
      free(dump);
      EXPECT_TRUE(AllOk({MsgGetType(msg.get(), &type), MsgIsOneWay(msg.get(), &oneway)}));
      memcpy(&written, row.block.data() + kHeader, sizeof written);
      EXPECT_EQ(type, written);
      EXPECT_EQ(oneway, static_cast<uint32_t>(MsgTypeIsOneWay(GetMsgTypeTable(), type)))
          << "flags of the table";
    }
    const std::string body = row.block.size() >= kHeader ? row.block.substr(kHeader) : std::string();
    for (size_t cut = 0; row.block.size() >= kHeader && cut <= body.size(); ++cut) {
      EXPECT_EQ(CheckedInParts(body, {cut}), row.valid) << "two parts, cut at " << cut;
      EXPECT_EQ(CheckedInParts(body, {cut / 3, cut / 2, cut}), row.valid)
          << "four parts, last cut at " << cut;
    }
  }
  uint32_t status = 0;
  EXPECT_EQ(NewMsgFromBuffer(nullptr, 11, 1, GetMsgTypeTable(), kHeader, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
}

}  // namespace
