// Validation of received blocks and the field readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;

namespace {

constexpr uint16_t kReply = MSGTYPE_LIST_LOCAL_ACCT;

TEST(MsgValidation, AcceptsWellFormedAndRefusesEverythingElse) {
  const std::string kv = U8(MDT_KEYVALUES) + U32(1) + Item("k") + NullItem();
  const struct {
    const char *name;
    std::string block;
    bool valid;
  } cases[] = {
      {"type and end mark only", Block(kReply, ""), true},
      {"every tag",
       Block(kReply, Bool(1) + Int(-1) + UInt(2) + Str("s") + U8(MDT_PASSWORD) + Item("pw") + U8(MDT_BLOB) +
                         NullItem() + Set({"a", nullptr}) + kv),
       true},
      {"empty set", Block(kReply, Set({})), true},
      {"unknown type", Block(4242, Bool(1)), true},
      {"byte after end mark", Block(kReply, "") + U8(0), false},
      {"tag 9", Block(kReply, U8(9)), false},
      {"counted item too long", Block(kReply, U8(MDT_STRING) + U32(2) + "a"), false},
      {"item length cut short", Block(kReply, U8(MDT_STRING) + "\x01\x00", false), false},
      {"int cut short", Block(kReply, U8(MDT_INT) + "\x01\x02\x03", false), false},
      {"no end mark", Block(kReply, Bool(1), false), false},
      {"set count NULL_LENGTH", Block(kReply, U8(MDT_STRINGSET) + U32(NULL_LENGTH)), false},
      {"set count above items", Block(kReply, U8(MDT_STRINGSET) + U32(3) + Item("a") + Item("b")), false},
      {"pair without value", Block(kReply, U8(MDT_KEYVALUES) + U32(1) + Item("k")), false},
      {"type only", Block(kReply, "", false), false},
      {"one body byte", std::string(kHeader, '\0') + "\x01", false},
      {"header only", std::string(kHeader, '\0'), false},
      {"shorter than header", std::string(kHeader - 1, '\0'), false},
      {"empty", std::string(), false},
  };
  for (const auto &c : cases) {
    for (int copy : {0, 1}) {
      uint32_t status = 12345;
      MsgPtr msg = Receive(c.block, copy, &status);
      EXPECT_EQ(msg != nullptr, c.valid) << c.name << " copy=" << copy;
      EXPECT_EQ(status, c.valid ? MSG_OK : MSG_ERR_INVALID) << c.name << " copy=" << copy;
    }
  }
  uint32_t status = 0;
  EXPECT_EQ(NewMsgFromBuffer(nullptr, 11, 1, GetMsgTypeTable(), kHeader, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
}

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

TEST(MsgRead, StringSetKeepsNullItemsInPlace) {
  MsgPtr msg = Receive(Block(kReply, Set({"a", nullptr, ""}) + Set({}) + Set({"y"}) + Bool(1)), 0, nullptr);
  ASSERT_NE(msg, nullptr);
  char **set = nullptr;
  ASSERT_EQ(MsgGetStringSet(msg.get(), &set), MSG_OK);
  EXPECT_TRUE(set != nullptr && strcmp(set[0], "a") == 0 && set[1] == nullptr && strcmp(set[2], "") == 0 &&
              set[3] == nullptr);
  for (int k = 0; k < 3; ++k) free(set[k]);
  free(set);
  ASSERT_EQ(MsgGetStringSet(msg.get(), &set), MSG_OK);
  EXPECT_TRUE(set != nullptr && set[0] == nullptr);
  free(set);
  EXPECT_EQ(MsgGetStringSet(msg.get(), nullptr), MSG_OK) << "null out-location skips the set";
  EXPECT_EQ(MsgGetBool(msg.get(), nullptr), MSG_OK);
}

// Bytes changed after validation (the block is writable through
// MsgGetBuffer) must still be read within bounds.
TEST(MsgRead, ReadersCheckBoundsOnTheirOwn) {
  const struct {
    const char *name;
    std::string fields;
    size_t patch_at;  // offset in the block of a 32-bit value to overwrite
    uint32_t patch;
    bool set_reader;
    uint32_t status;
  } cases[] = {
      {"set count NULL_LENGTH", Set({}), kHeader + 3, NULL_LENGTH, true, MSG_ERR_INVALID},
      {"set count beyond the block", Set({"a"}), kHeader + 3, 0x40000000u, true, MSG_ERR_END},
      {"set item beyond the block", Set({"a"}), kHeader + 7, 0xFFFFFFF0u, true, MSG_ERR_END},
      {"string beyond the block", Str("abc"), kHeader + 3, 0xFFFFFFFEu, false, MSG_ERR_END},
  };
  for (const auto &c : cases) {
    MsgPtr msg = Receive(Block(kReply, c.fields), 1, nullptr);
    ASSERT_NE(msg, nullptr) << c.name;
    memcpy(MsgGetBuffer(msg.get(), nullptr, nullptr) + c.patch_at, &c.patch, 4);
    char *s = nullptr, **set = nullptr;
    EXPECT_EQ(c.set_reader ? MsgGetStringSet(msg.get(), &set) : MsgGetString(msg.get(), &s), c.status)
        << c.name;
    EXPECT_TRUE(s == nullptr && set == nullptr) << c.name;
  }
}

}  // namespace
