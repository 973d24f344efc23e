// Building requests: byte encodings, states and refusals.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;

namespace {

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

// Builds, completes and fills the frame header in the message's own block,
// as the transport does before sending.
std::string Frame(uint32_t type, const std::function<void(Msg *)> &fields) {
  uint32_t status = 1;
  MsgPtr msg(NewMsg(type, GetMsgTypeTable(), kHeader, &status));
  EXPECT_EQ(status, MSG_OK);
  if (msg == nullptr) return "";
  fields(msg.get());
  EXPECT_EQ(MsgComplete(msg.get()), MSG_OK);
  uint32_t length = 0;
  unsigned char *block = MsgGetBuffer(msg.get(), &length, &status);
  EXPECT_EQ(status, MSG_OK);
  if (block == nullptr) return "";
  memcpy(block, &kMagic, 4);
  memcpy(block + 4, &length, 4);
  return Bytes(msg.get());
}

struct EncodingCase {
  const char *name;
  uint32_t type;
  std::function<void(Msg *)> fields;
  const char *hex;
};

TEST(MsgEncoding, RequestsAreByteExact) {
  const std::vector<EncodingCase> cases = {
      {"reload", MSGTYPE_RELOAD_LOCAL_ACCT,
       [](Msg *m) {
         EXPECT_EQ(MsgAddBool(m, 1), MSG_OK);
         EXPECT_EQ(MsgAddBool(m, 0), MSG_OK);
       },
       "12 80 CD AB 0F 00 00 00 70 00 01 01 01 00 00"},
      {"dump root", MSGTYPE_DUMP_LOCAL_ACCT, [](Msg *m) { EXPECT_EQ(MsgAddString(m, "root"), MSG_OK); },
       "12 80 CD AB 14 00 00 00 72 00 04 04 00 00 00 72 6F 6F 74 00"},
      {"status", MSGTYPE_GET_LOCAL_ACCT_MGMT, [](Msg *) {}, "12 80 CD AB 0B 00 00 00 6F 00 00"},
      {"every kind", MSGTYPE_CONTROL_LOG2,
       [](Msg *m) {
         EXPECT_EQ(MsgAddBool(m, 42), MSG_OK);
         EXPECT_EQ(MsgAddInt(m, -2), MSG_OK);
         EXPECT_EQ(MsgAddUInt(m, 0x01020304u), MSG_OK);
         EXPECT_EQ(MsgAddString(m, ""), MSG_OK);
         EXPECT_EQ(MsgAddString(m, nullptr), MSG_OK);
       },
       "12 80 CD AB 21 00 00 00 6B 00 01 01 02 FE FF FF FF 03 04 03 02 01 04 00 00 00 00 04 FF FF FF FF 00"},
  };
  for (const auto &c : cases) EXPECT_EQ(Hex(Frame(c.type, c.fields)), c.hex) << c.name;
}

struct NewMsgCase {
  const char *name;
  uint32_t type;
  bool with_table;
  uint32_t header;
  uint32_t status;
};

TEST(MsgCreate, RefusesUnknownTypesAndTables) {
  const NewMsgCase cases[] = {
      {"disconnect is a known type", MSGTYPE_DISCONNECT, true, kHeader, MSG_OK},
      {"largest header", MSGTYPE_AUDIT_TRAIL_EVENT, true, MSG_MAX_HEADER_SIZE, MSG_OK},
      {"no header", MSGTYPE_CONTROL_LOG2, true, 0, MSG_OK},
      {"absent id", 106, true, kHeader, MSG_ERR_INVALID},
      {"id beyond 16 bits", 0x10000u + MSGTYPE_CONTROL_LOG2, true, kHeader, MSG_ERR_INVALID},
      {"null table", MSGTYPE_CONTROL_LOG2, false, kHeader, MSG_ERR_INVALID},
      {"header too large", MSGTYPE_CONTROL_LOG2, true, MSG_MAX_HEADER_SIZE + 1, MSG_ERR_INVALID},
  };
  for (const auto &c : cases) {
    uint32_t status = 12345;
    MsgPtr msg(NewMsg(c.type, c.with_table ? GetMsgTypeTable() : nullptr, c.header, &status));
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(msg != nullptr, c.status == MSG_OK) << c.name;
    if (msg == nullptr) continue;
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    EXPECT_EQ(Bytes(msg.get()), std::string(c.header, '\0') + U16(static_cast<uint16_t>(c.type)) + U8(MDT_END))
        << c.name;
  }
  EXPECT_EQ(NewMsg(106, GetMsgTypeTable(), kHeader, nullptr), nullptr);
}

TEST(MsgState, CompletionAndBufferFollowTheState) {
  MsgPtr msg(NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
  uint32_t status = 0, length = 99, value = 0;
  EXPECT_EQ(MsgGetBuffer(msg.get(), &length, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INCOMPLETE);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(MsgGetType(msg.get(), &value), MSG_ERR_INVALID);
  EXPECT_EQ(MsgIsOneWay(msg.get(), &value), MSG_ERR_INVALID);
  EXPECT_EQ(MsgGetBool(msg.get(), &value), MSG_ERR_INVALID);

  ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
  EXPECT_EQ(MsgComplete(msg.get()), MSG_ERR_END);
  EXPECT_EQ(MsgAddBool(msg.get(), 1), MSG_ERR_END);
  EXPECT_EQ(MsgAddString(msg.get(), "x"), MSG_ERR_END);
  EXPECT_NE(MsgGetBuffer(msg.get(), nullptr, nullptr), nullptr);
  EXPECT_EQ(Bytes(msg.get()), Block(MSGTYPE_RELOAD_LOCAL_ACCT, ""));
  EXPECT_EQ(MsgGetType(msg.get(), &value), MSG_OK);
  EXPECT_EQ(value, static_cast<uint32_t>(MSGTYPE_RELOAD_LOCAL_ACCT));
}

TEST(MsgState, NullMessageIsRefusedEverywhere) {
  uint32_t status = 0, value = 0;
  EXPECT_EQ(MsgComplete(nullptr), MSG_ERR_INVALID);
  EXPECT_EQ(MsgAddBool(nullptr, 1), MSG_ERR_INVALID);
  EXPECT_EQ(MsgAddInt(nullptr, 1), MSG_ERR_INVALID);
  EXPECT_EQ(MsgAddUInt(nullptr, 1), MSG_ERR_INVALID);
  EXPECT_EQ(MsgAddString(nullptr, "x"), MSG_ERR_INVALID);
  EXPECT_EQ(MsgGetBuffer(nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
  EXPECT_EQ(MsgGetType(nullptr, &value), MSG_ERR_INVALID);
  EXPECT_EQ(MsgIsOneWay(nullptr, &value), MSG_ERR_INVALID);
  MsgFree(nullptr);
}

TEST(MsgErrText, EveryCodeHasItsText) {
  const struct {
    uint32_t code;
    const char *text;
  } cases[] = {{MSG_ERR_NOMEM, "Out of memory"},          {MSG_ERR_UNEXPECTED, "Unexpected data"},
               {MSG_ERR_TYPE, "Incorrect data type"},     {MSG_ERR_END, "At end of message"},
               {MSG_ERR_INCOMPLETE, "Message not completed"}, {MSG_ERR_INVALID, "Message invalid"}};
  for (const auto &c : cases) EXPECT_STREQ(MsgErr2Str(c.code), c.text);
  for (uint32_t code : {0u, 199u, 206u, 0xFFFFFFFFu}) EXPECT_EQ(MsgErr2Str(code), nullptr) << code;
}

}  // namespace
