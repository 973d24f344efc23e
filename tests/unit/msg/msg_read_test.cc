// The field readers of received and built messages.
#include <gtest/gtest.h>

#include <string>

#include "msg_test_util.h"

using namespace msgtest;

namespace {

constexpr uint16_t kReply = MSGTYPE_LIST_LOCAL_ACCT;

TEST(MsgValidation, TypeAndFlagsComeFromTheTableAndACopyIsIndependent) {
  const struct {
    uint16_t type;
    uint32_t oneway;
  } cases[] = {{4242, 0}, {MSGTYPE_AUDIT_TRAIL_EVENT, 1}, {kReply, 0}};
  for (const auto &c : cases) {
    std::string block = Block(c.type, Str("abc"));
    MsgPtr msg = Receive(block, 1, nullptr);
    ASSERT_NE(msg, nullptr);
    block.assign(block.size(), '\x7f');
    uint32_t type = 0, oneway = 9;
    char *text = nullptr;
    EXPECT_TRUE(AllOk({MsgGetType(msg.get(), &type), MsgIsOneWay(msg.get(), &oneway)}));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(oneway, c.oneway) << c.type;
    EXPECT_EQ(MsgGetString(msg.get(), &text), MSG_OK);
    EXPECT_STREQ(text, "abc");
    free(text);
  }
}

// Reads one field with reader 0 to 4 (bool, int, uint, string, set).
uint32_t ReadWith(int reader, Msg *msg) {
  uint32_t u;
  int32_t i;
  char *s = nullptr, **set = nullptr;
  const uint32_t status = reader == 0   ? MsgGetBool(msg, &u)
                          : reader == 1 ? MsgGetInt(msg, &i)
                          : reader == 2 ? MsgGetUInt(msg, &u)
                          : reader == 3 ? MsgGetString(msg, &s)
                                        : MsgGetStringSet(msg, &set);
  free(s);
  free(set);  // only empty sets are read here
  return status;
}

TEST(MsgRead, WrongReaderLeavesTheFieldForTheRightOne) {
  const std::string fields[] = {Bool(1), Int(3), UInt(4), Str(""), Set({})};
  for (int field = 0; field < 5; ++field) {
    MsgPtr msg = Receive(Block(kReply, fields[field] + Bool(0)), 1, nullptr);
    ASSERT_NE(msg, nullptr);
    for (int reader = (field + 1) % 5; reader != field; reader = (reader + 1) % 5)
      EXPECT_EQ(ReadWith(reader, msg.get()), MSG_ERR_TYPE) << field << "/" << reader;
    EXPECT_EQ(ReadWith(field, msg.get()), MSG_OK) << field;
    uint32_t second = 7;
    EXPECT_EQ(MsgGetBool(msg.get(), &second), MSG_OK);
    EXPECT_EQ(second, 0u);
    for (int reader = 0; reader < 5; ++reader)
      EXPECT_EQ(ReadWith(reader, msg.get()), MSG_ERR_END) << "at end mark " << reader;
  }
}

// Every kind comes back as written; null out-locations skip a field.
TEST(MsgRead, ValuesComeBackAsWritten) {
  MsgPtr msg(NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), kHeader, nullptr));
  EXPECT_TRUE(
      AllOk({MsgAddBool(msg.get(), -5), MsgAddInt(msg.get(), INT32_MIN), MsgAddUInt(msg.get(), UINT32_MAX),
             MsgAddString(msg.get(), ""), MsgAddString(msg.get(), nullptr),
             MsgAddString(msg.get(), "line\nwith \"quotes\""), MsgAddInt(msg.get(), 1),
             MsgAddString(msg.get(), "skipped"), MsgAddInt(msg.get(), 77), MsgComplete(msg.get())}));
  uint32_t b = 0, u = 0;
  int32_t i = 0, last = 0;
  char *empty = nullptr, *null = reinterpret_cast<char *>(1), *text = nullptr;
  EXPECT_TRUE(
      AllOk({MsgGetBool(msg.get(), &b), MsgGetInt(msg.get(), &i), MsgGetUInt(msg.get(), &u),
             MsgGetString(msg.get(), &empty), MsgGetString(msg.get(), &null), MsgGetString(msg.get(), &text),
             MsgGetInt(msg.get(), nullptr), MsgGetString(msg.get(), nullptr), MsgGetInt(msg.get(), &last)}));
  EXPECT_TRUE(b == 1 && i == INT32_MIN && u == UINT32_MAX && null == nullptr && last == 77);
  EXPECT_STREQ(empty, "");
  EXPECT_STREQ(text, "line\nwith \"quotes\"");
  free(empty);
  free(text);
  EXPECT_EQ(MsgGetString(msg.get(), &text), MSG_ERR_END);
  EXPECT_EQ(text, nullptr);
}

// Bytes changed after validation (the block is writable through
// MsgGetBuffer) must still be read within bounds; the string-set readers
// are checked so in msg_set_reader_test.cc.
TEST(MsgRead, StringReaderChecksBoundsOnItsOwn) {
  MsgPtr msg = Receive(Block(kReply, Str("abc")), 1, nullptr);
  ASSERT_NE(msg, nullptr);
  const uint32_t beyond = 0xFFFFFFFEu;
  memcpy(MsgGetBuffer(msg.get(), nullptr, nullptr) + kHeader + 3, &beyond, 4);
  char *s = nullptr;
  EXPECT_EQ(MsgGetString(msg.get(), &s), MSG_ERR_END);
  EXPECT_EQ(s, nullptr);
}

}  // namespace
