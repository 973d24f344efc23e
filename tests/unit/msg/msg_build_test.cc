// Building requests: states and refusals; the message type table.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "client_common/msg_types.h"
#include "msg_test_util.h"

using namespace msgtest;

namespace {

TEST(MsgCreate, RefusesUnknownTypesAndTables) {
  const struct {
    const char *name;
    uint32_t type;
    bool with_table;
    uint32_t header, status;
  } cases[] = {
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
    const uint16_t type = static_cast<uint16_t>(c.type);
    EXPECT_EQ(Bytes(msg.get()), std::string(c.header, '\0') +
                                    std::string(reinterpret_cast<const char *>(&type), 2) + U8(MDT_END))
        << c.name;
  }
  EXPECT_EQ(NewMsg(106, GetMsgTypeTable(), kHeader, nullptr), nullptr) << "null status";
}

TEST(MsgState, CompletionBufferAndReadingFollowTheState) {
  MsgPtr msg(NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
  uint32_t status = 0, length = 99, value = 0;
  EXPECT_EQ(MsgGetBuffer(msg.get(), &length, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INCOMPLETE);
  EXPECT_EQ(length, 0u);
  for (Msg *m : {msg.get(), static_cast<Msg *>(nullptr)}) {
    EXPECT_EQ(MsgGetType(m, &value), MSG_ERR_INVALID);
    EXPECT_EQ(MsgIsOneWay(m, &value), MSG_ERR_INVALID);
    EXPECT_EQ(MsgGetBool(m, &value), MSG_ERR_INVALID);
  }
  ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
  EXPECT_EQ(MsgComplete(msg.get()), MSG_ERR_END);
  EXPECT_EQ(MsgAddBool(msg.get(), 1), MSG_ERR_END);
  EXPECT_EQ(MsgAddString(msg.get(), "x"), MSG_ERR_END);
  EXPECT_EQ(Bytes(msg.get()), Block(MSGTYPE_RELOAD_LOCAL_ACCT, ""));
  EXPECT_EQ(MsgGetType(msg.get(), &value), MSG_OK);
  EXPECT_EQ(value, static_cast<uint32_t>(MSGTYPE_RELOAD_LOCAL_ACCT));

  for (uint32_t s : {MsgComplete(nullptr), MsgAddBool(nullptr, 1), MsgAddInt(nullptr, 1),
                     MsgAddUInt(nullptr, 1), MsgAddString(nullptr, "x")})
    EXPECT_EQ(s, MSG_ERR_INVALID);
  EXPECT_EQ(MsgGetBuffer(nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
  MsgFree(nullptr);
}

TEST(MsgErrText, EveryCodeHasItsText) {
  const char *texts[] = {"Out of memory",     "Unexpected data",       "Incorrect data type",
                         "At end of message", "Message not completed", "Message invalid"};
  for (uint32_t code = MSG_ERR_NOMEM; code <= MSG_ERR_INVALID; ++code)
    EXPECT_STREQ(MsgErr2Str(code), texts[code - MSG_ERR_NOMEM]) << code;
  for (uint32_t code : {0u, 199u, 206u, 0xFFFFFFFFu}) EXPECT_EQ(MsgErr2Str(code), nullptr) << code;
}

// The message type table is the agent's (testdata/types.txt, in
// ascending order of id), and the lookups give its rows for every id.
TEST(MsgTypeTable, RowsNamesAndFlagsAreTheAgents) {
  const MsgTypeTable *table = GetMsgTypeTable();
  std::map<uint32_t, const MsgTypeEntry *> by_id;
  std::string rows, file;
  for (uint32_t i = 0; i < table->count; ++i) {
    const MsgTypeEntry &row = table->rows[i];
    rows += std::to_string(row.id) + " " + row.name + " " + std::to_string(row.flags) + "\n";
    by_id[row.id] = &row;
  }
  std::ifstream in(MSG_TESTDATA "/types.txt");
  for (std::string line; std::getline(in, line);) file += line.empty() || line[0] == '#' ? "" : line + "\n";
  EXPECT_EQ(rows, file);
  EXPECT_EQ(by_id.size(), 128u);
  for (uint32_t id = 0; id <= 0x10000u; ++id) {  // ids beyond 16 bits are in no row
    const MsgTypeEntry *row = by_id.count(id) != 0 ? by_id[id] : nullptr;
    EXPECT_EQ(MsgTypeName(table, id), row != nullptr ? row->name : nullptr) << id;
    EXPECT_EQ(MsgTypeIsSensitive(table, id), row != nullptr && (row->flags & 1) != 0) << id;
    EXPECT_EQ(MsgTypeIsOneWay(table, id), row != nullptr && (row->flags & 4) != 0) << id;
  }
  EXPECT_EQ(MsgTypeName(table, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(MsgTypeName(nullptr, 0), nullptr);
  EXPECT_EQ(MsgTypeIsSensitive(nullptr, 500), 0);
  EXPECT_EQ(MsgTypeIsOneWay(nullptr, 505), 0);
}

}  // namespace
