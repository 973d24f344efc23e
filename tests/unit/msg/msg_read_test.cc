// Validation of received blocks and the field readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;

namespace {

constexpr uint16_t kReply = MSGTYPE_LIST_LOCAL_ACCT;

void FreeSet(char **set, size_t count) {
  for (size_t i = 0; i < count; ++i) free(set[i]);
  free(set);
}

struct ValidationCase {
  const char *name;
  std::string block;
  bool valid;
};

TEST(MsgValidation, AcceptsWellFormedAndRefusesEverythingElse) {
  const std::string kv = U8(MDT_KEYVALUES) + U32(1) + Item("k") + NullItem();
  const std::vector<ValidationCase> cases = {
      {"type and end mark only", Block(kReply, ""), true},
      {"every tag", Block(kReply, FBool(1) + FInt(-1) + FUInt(2) + FStr("s") + U8(MDT_PASSWORD) + Item("pw") +
                                      U8(MDT_BLOB) + NullItem() + FSet({"a", nullptr}) + kv),
       true},
      {"empty set", Block(kReply, FSet({})), true},
      {"byte after end mark", Block(kReply, "") + U8(0), false},
      {"tag 9", Block(kReply, U8(9)), false},
      {"counted item too long", Block(kReply, U8(MDT_STRING) + U32(2) + "a"), false},
      {"item length cut short", Block(kReply, U8(MDT_STRING) + "\x01\x00", false), false},
      {"int cut short", Block(kReply, U8(MDT_INT) + "\x01\x02\x03", false), false},
      {"no end mark", Block(kReply, FBool(1), false), false},
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

TEST(MsgValidation, CopyLeavesTheCallersBlockAlone) {
  std::string block = Block(kReply, FStr("abc"));
  uint32_t status = 1;
  MsgPtr msg = Receive(block, 1, &status);
  ASSERT_NE(msg, nullptr);
  block.assign(block.size(), '\x7f');
  char *text = nullptr;
  EXPECT_EQ(MsgGetString(msg.get(), &text), MSG_OK);
  EXPECT_STREQ(text, "abc");
  free(text);
}

TEST(MsgValidation, UnknownTypeIsAcceptedWithoutFlags) {
  uint32_t status = 1, type = 0, oneway = 9;
  MsgPtr msg = Receive(Block(4242, FBool(1)), 0, &status);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(MsgGetType(msg.get(), &type), MSG_OK);
  EXPECT_EQ(type, 4242u);
  EXPECT_EQ(MsgIsOneWay(msg.get(), &oneway), MSG_OK);
  EXPECT_EQ(oneway, 0u);
  EXPECT_EQ(msg->flags, 0u);

  MsgPtr audit = Receive(Block(MSGTYPE_AUDIT_TRAIL_EVENT, ""), 1, &status);
  EXPECT_EQ(MsgIsOneWay(audit.get(), &oneway), MSG_OK);
  EXPECT_EQ(oneway, 1u);
}

// The readers, in the order the fuzz target also uses.
enum Reader { kBool, kInt, kUInt, kString, kSet, kReaders };

uint32_t ReadWith(Reader reader, Msg *msg) {
  uint32_t u;
  int32_t i;
  char *s = nullptr;
  char **set = nullptr;
  uint32_t status = MSG_ERR_INVALID;
  switch (reader) {
    case kBool: status = MsgGetBool(msg, &u); break;
    case kInt: status = MsgGetInt(msg, &i); break;
    case kUInt: status = MsgGetUInt(msg, &u); break;
    case kString: status = MsgGetString(msg, &s); break;
    default: status = MsgGetStringSet(msg, &set); break;
  }
  free(s);
  if (set != nullptr) FreeSet(set, 1);
  return status;
}

TEST(MsgRead, WrongReaderLeavesTheFieldForTheRightOne) {
  const std::string fields[kReaders] = {FBool(1), FInt(3), FUInt(4), FStr(""), FSet({})};
  for (int field = 0; field < kReaders; ++field) {
    MsgPtr msg = Receive(Block(kReply, fields[field] + FBool(0)), 1, nullptr);
    ASSERT_NE(msg, nullptr);
    for (int reader = 0; reader < kReaders; ++reader) {
      if (reader == field) continue;
      EXPECT_EQ(ReadWith(static_cast<Reader>(reader), msg.get()), MSG_ERR_TYPE) << field << "/" << reader;
    }
    EXPECT_EQ(ReadWith(static_cast<Reader>(field), msg.get()), MSG_OK) << field;
    uint32_t second = 7;
    EXPECT_EQ(MsgGetBool(msg.get(), &second), MSG_OK);
    EXPECT_EQ(second, 0u);
    for (int reader = 0; reader < kReaders; ++reader)
      EXPECT_EQ(ReadWith(static_cast<Reader>(reader), msg.get()), MSG_ERR_END) << "at end mark " << reader;
  }
}

TEST(MsgRead, ValuesComeBackAsWritten) {
  MsgPtr msg(NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), kHeader, nullptr));
  EXPECT_EQ(MsgAddBool(msg.get(), -5), MSG_OK);
  EXPECT_EQ(MsgAddInt(msg.get(), INT32_MIN), MSG_OK);
  EXPECT_EQ(MsgAddUInt(msg.get(), UINT32_MAX), MSG_OK);
  EXPECT_EQ(MsgAddString(msg.get(), ""), MSG_OK);
  EXPECT_EQ(MsgAddString(msg.get(), nullptr), MSG_OK);
  EXPECT_EQ(MsgAddString(msg.get(), "line\nwith \"quotes\""), MSG_OK);
  ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);

  uint32_t b = 0, u = 0;
  int32_t i = 0;
  char *empty = nullptr, *null = reinterpret_cast<char *>(1), *text = nullptr;
  EXPECT_EQ(MsgGetBool(msg.get(), &b), MSG_OK);
  EXPECT_EQ(MsgGetInt(msg.get(), &i), MSG_OK);
  EXPECT_EQ(MsgGetUInt(msg.get(), &u), MSG_OK);
  EXPECT_EQ(MsgGetString(msg.get(), &empty), MSG_OK);
  EXPECT_EQ(MsgGetString(msg.get(), &null), MSG_OK);
  EXPECT_EQ(MsgGetString(msg.get(), &text), MSG_OK);
  EXPECT_EQ(b, 1u);
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_EQ(u, UINT32_MAX);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(null, nullptr);
  EXPECT_STREQ(text, "line\nwith \"quotes\"");
  free(empty);
  free(text);
  EXPECT_EQ(MsgGetString(msg.get(), &text), MSG_ERR_END);
  EXPECT_EQ(text, nullptr);
}

TEST(MsgRead, StringSetKeepsNullItemsInPlace) {
  MsgPtr msg = Receive(Block(kReply, FSet({"a", nullptr, ""}) + FSet({})), 0, nullptr);
  ASSERT_NE(msg, nullptr);
  char **set = nullptr;
  ASSERT_EQ(MsgGetStringSet(msg.get(), &set), MSG_OK);
  ASSERT_NE(set, nullptr);
  EXPECT_STREQ(set[0], "a");
  EXPECT_EQ(set[1], nullptr);
  EXPECT_STREQ(set[2], "");
  EXPECT_EQ(set[3], nullptr);
  FreeSet(set, 3);
  ASSERT_EQ(MsgGetStringSet(msg.get(), &set), MSG_OK);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set[0], nullptr);
  free(set);
}

TEST(MsgRead, NullOutLocationsSkipFields) {
  MsgPtr msg = Receive(Block(kReply, FBool(1) + FInt(2) + FUInt(3) + FStr("x") + FSet({"y"}) + FInt(77)), 1,
                       nullptr);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(MsgGetBool(msg.get(), nullptr), MSG_OK);
  EXPECT_EQ(MsgGetInt(msg.get(), nullptr), MSG_OK);
  EXPECT_EQ(MsgGetUInt(msg.get(), nullptr), MSG_OK);
  EXPECT_EQ(MsgGetString(msg.get(), nullptr), MSG_OK);
  EXPECT_EQ(MsgGetStringSet(msg.get(), nullptr), MSG_OK);
  int32_t last = 0;
  EXPECT_EQ(MsgGetInt(msg.get(), &last), MSG_OK);
  EXPECT_EQ(last, 77);
}

// Bytes changed after validation (the block is writable through
// MsgGetBuffer) must still be read within bounds.
TEST(MsgRead, ReadersCheckBoundsOnTheirOwn) {
  const struct {
    const char *name;
    std::string fields;
    size_t patch_at; /* offset in the block of a 32-bit value to overwrite */
    uint32_t patch;
    bool set_reader;
    uint32_t status;
  } cases[] = {
      {"set count NULL_LENGTH", FSet({}), kHeader + 3, NULL_LENGTH, true, MSG_ERR_INVALID},
      {"set count beyond the block", FSet({"a"}), kHeader + 3, 0x40000000u, true, MSG_ERR_END},
      {"set item beyond the block", FSet({"a"}), kHeader + 7, 0xFFFFFFF0u, true, MSG_ERR_END},
      {"string beyond the block", FStr("abc"), kHeader + 3, 0xFFFFFFFEu, false, MSG_ERR_END},
  };
  for (const auto &c : cases) {
    MsgPtr msg = Receive(Block(kReply, c.fields), 1, nullptr);
    ASSERT_NE(msg, nullptr) << c.name;
    memcpy(MsgGetBuffer(msg.get(), nullptr, nullptr) + c.patch_at, &c.patch, 4);
    char *s = nullptr;
    char **set = nullptr;
    EXPECT_EQ(c.set_reader ? MsgGetStringSet(msg.get(), &set) : MsgGetString(msg.get(), &s), c.status) << c.name;
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(set, nullptr);
  }
}

}  // namespace
