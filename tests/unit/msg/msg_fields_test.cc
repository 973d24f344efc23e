// Messages: building, states and refusals; the field readers of received
// and built messages, and the in-place string-set reader (the same items,
// statuses and cursor as MsgGetStringSet, without a copy); the message
// type table.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client_common/msg_types.h"
#include "msg_test_util.h"
#include "support/table_file.h"

using namespace msgtest;

namespace {

// Each row of testdata/new.txt.
TEST(MsgCreate, RefusesUnknownTypesAndTables) {
  for (const vxtest::Row &r : vxtest::ReadTable(MSG_TESTDATA "/new.txt")) {
    SCOPED_TRACE(r.where);
    const auto type = static_cast<uint32_t>(r.Number(0)), header = static_cast<uint32_t>(r.Number(2));
    uint32_t status = 12345;
    MsgPtr msg(NewMsg(type, r[1] == "types" ? GetMsgTypeTable() : nullptr, header, &status));
    EXPECT_TRUE(std::to_string(status) == r.results.at(0) && (msg != nullptr) == (status == MSG_OK))
        << status;
    if (msg == nullptr) continue;
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    EXPECT_EQ(Bytes(msg.get()), std::string(header, '\0') + vxtest::Body(static_cast<uint16_t>(type), ""));
  }
  EXPECT_EQ(NewMsg(106, GetMsgTypeTable(), kHeader, nullptr), nullptr) << "null status";
}

// Completion, the buffer and reading follow the state; every status has
// its text.
TEST(MsgState, CompletionBufferAndReadingFollowTheState) {
  MsgPtr msg(NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
  uint32_t status = 0, length = 99, value = 0;
  EXPECT_EQ(MsgGetBuffer(msg.get(), &length, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INCOMPLETE);
  EXPECT_EQ(length, 0u);
  MsgSetReader reader{msg.get(), 5};
  for (Msg *m : {msg.get(), static_cast<Msg *>(nullptr)}) {
    EXPECT_EQ(MsgGetType(m, &value), MSG_ERR_INVALID);
    EXPECT_EQ(MsgIsOneWay(m, &value), MSG_ERR_INVALID);
    EXPECT_EQ(MsgGetBool(m, &value), MSG_ERR_INVALID);
    EXPECT_EQ(MsgOpenStringSet(m, &reader, &value), MSG_ERR_INVALID);
    EXPECT_TRUE(reader.msg == nullptr && reader.left == 0 && value == 0);
  }
  reader = MsgSetReader{msg.get(), 1};
  EXPECT_EQ(MsgNextSetItem(&reader, nullptr, nullptr), MSG_ERR_INVALID) << "message still building";
  reader = MsgSetReader{};
  EXPECT_EQ(MsgNextSetItem(&reader, nullptr, nullptr), MSG_ERR_END);
  ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
  EXPECT_EQ(MsgComplete(msg.get()), MSG_ERR_END);
  EXPECT_EQ(MsgAddBool(msg.get(), 1), MSG_ERR_END);
  EXPECT_EQ(MsgAddString(msg.get(), "x"), MSG_ERR_END);
  EXPECT_EQ(Bytes(msg.get()), Block(MSGTYPE_RELOAD_LOCAL_ACCT, ""));
  EXPECT_EQ(MsgGetType(msg.get(), &value), MSG_OK);
  EXPECT_EQ(value, static_cast<uint32_t>(MSGTYPE_RELOAD_LOCAL_ACCT));

  for (uint32_t s : {MsgComplete(nullptr), MsgAddBool(nullptr, 1), MsgAddInt(nullptr, 1),
                     MsgAddUInt(nullptr, 1), MsgAddString(nullptr, "x"),
                     MsgNextSetItem(nullptr, nullptr, nullptr), MsgOpenStringSet(nullptr, nullptr, nullptr)})
    EXPECT_EQ(s, MSG_ERR_INVALID);
  EXPECT_EQ(MsgGetBuffer(nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
  MsgFree(nullptr);
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
  for (const vxtest::Row &r : vxtest::ReadTable(MSG_TESTDATA "/types.txt"))
    file += r[0] + " " + r[1] + " " + r[2] + "\n";
  EXPECT_EQ(rows, file);
  EXPECT_EQ(by_id.size(), 128u);
  for (uint32_t id = 0; id <= 0x10000u; ++id) {  // ids beyond 16 bits are in no row
    const MsgTypeEntry *row = by_id.count(id) != 0 ? by_id[id] : nullptr;
    EXPECT_STREQ(MsgTypeName(table, id), row != nullptr ? row->name : nullptr) << id;
    EXPECT_EQ(MsgTypeIsSensitive(table, id), row != nullptr && (row->flags & 1) != 0) << id;
    EXPECT_EQ(MsgTypeIsOneWay(table, id), row != nullptr && (row->flags & 4) != 0) << id;
  }
  EXPECT_EQ(MsgTypeName(table, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(MsgTypeName(nullptr, 0), nullptr);
  EXPECT_EQ(MsgTypeIsSensitive(nullptr, 500), 0);
  EXPECT_EQ(MsgTypeIsOneWay(nullptr, 505), 0);
}

constexpr uint16_t kReply = MSGTYPE_LIST_LOCAL_ACCT;

// Every kind is written in its wire form (a bool above 1 as 1) and comes
// back as written; null out-locations skip a field. Bytes changed after
// completion (the block is writable through MsgGetBuffer) are still read
// within bounds: here the last string's length.
TEST(MsgRead, ValuesComeBackAsWritten) {
  MsgPtr msg(NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), kHeader, nullptr));
  EXPECT_TRUE(AllOk({MsgAddBool(msg.get(), -5), MsgAddInt(msg.get(), -2), MsgAddUInt(msg.get(), 0x01020304u),
                     MsgAddString(msg.get(), ""), MsgAddString(msg.get(), nullptr),
                     MsgAddString(msg.get(), "line\nwith \"quotes\""), MsgAddInt(msg.get(), INT32_MIN),
                     MsgAddString(msg.get(), "skipped"), MsgAddUInt(msg.get(), UINT32_MAX),
                     MsgAddString(msg.get(), "tail"), MsgComplete(msg.get())}));
  const std::string fixed("\x01\x01\x02\xFE\xFF\xFF\xFF\x03\x04\x03\x02\x01", 12);  // bool 1, int -2, uint
  const std::string block = Block(MSGTYPE_CONTROL_LOG2, fixed + Str("") + U8(MDT_STRING) + NullItem() +
                                                            Str("line\nwith \"quotes\"") + Int(INT32_MIN) +
                                                            Str("skipped") + UInt(UINT32_MAX) + Str("tail"));
  EXPECT_EQ(Bytes(msg.get()), block);
  const uint32_t beyond = 0xFFFFFFFEu;
  memcpy(MsgGetBuffer(msg.get(), nullptr, nullptr) + block.size() - 9, &beyond, 4);
  uint32_t b = 0, u = 0, last = 0;
  int32_t i = 0;
  char *empty = nullptr, *null = reinterpret_cast<char *>(1), *text = nullptr, *tail = nullptr;
  EXPECT_TRUE(
      AllOk({MsgGetBool(msg.get(), &b), MsgGetInt(msg.get(), &i), MsgGetUInt(msg.get(), &u),
             MsgGetString(msg.get(), &empty), MsgGetString(msg.get(), &null), MsgGetString(msg.get(), &text),
             MsgGetInt(msg.get(), nullptr), MsgGetString(msg.get(), nullptr), MsgGetUInt(msg.get(), &last)}));
  EXPECT_TRUE(b == 1 && i == -2 && u == 0x01020304u && null == nullptr && last == UINT32_MAX);
  EXPECT_STREQ(empty, "");
  EXPECT_STREQ(text, "line\nwith \"quotes\"");
  free(empty);
  free(text);
  EXPECT_EQ(MsgGetString(msg.get(), &tail), MSG_ERR_END);
  EXPECT_EQ(tail, nullptr);
}

using Items = std::vector<std::string>;  // "null" for a null item

struct Read {
  uint32_t open = 0, next = 0;  // status of the open and of the read that ended the items
  Items items;
  ptrdiff_t cursor = 0;  // offset of the message's cursor afterwards
};

Read ReadInPlace(Msg *msg) {
  Read r;
  MsgSetReader reader;
  uint32_t count = 99;
  r.open = MsgOpenStringSet(msg, &reader, &count);
  EXPECT_EQ(count, r.open == MSG_OK ? reader.left : 0u);
  const char *item = "x";
  uint32_t length = 7;
  while ((r.next = MsgNextSetItem(&reader, &item, &length)) == MSG_OK)
    r.items.push_back(item != nullptr ? std::string(item, length) : "null");
  EXPECT_TRUE(item == nullptr && length == 0 && reader.left == 0) << "after the last item";
  r.cursor = msg->cur - msg->start;
  return r;
}

// The set as copies; `n` is its count (a null item ends nothing here).
Read ReadCopies(Msg *msg, size_t n) {
  Read r;
  char **set = nullptr;
  r.open = MsgGetStringSet(msg, &set);
  EXPECT_TRUE(r.open == MSG_OK ? set != nullptr && set[n] == nullptr : set == nullptr) << "set ends after n";
  for (size_t i = 0; set != nullptr && i < n; ++i) {
    r.items.push_back(set[i] != nullptr ? set[i] : "null");
    free(set[i]);
  }
  free(set);
  r.cursor = msg->cur - msg->start;
  return r;
}

// Each row of testdata/sets.txt.
TEST(MsgSetReader, GivesWhatMsgGetStringSetGivesWithoutCopies) {
  for (const vxtest::Row &r : vxtest::ReadTable(MSG_TESTDATA "/sets.txt")) {
    SCOPED_TRACE(r.where);
    const std::string block = BlockOf(r, 2);
    const auto at = static_cast<size_t>(r.Number(0));
    const auto patch = static_cast<uint32_t>(r.Number(1)),
               open = static_cast<uint32_t>(std::stoul(r.results.at(0)));
    const Items items(r.results.begin() + 1, r.results.end());
    MsgPtr in_place = Receive(block, 1, nullptr), copies = Receive(block, 1, nullptr);
    ASSERT_TRUE(in_place && copies);
    for (Msg *m : {in_place.get(), copies.get()})
      if (at != 0) memcpy(MsgGetBuffer(m, nullptr, nullptr) + at, &patch, 4);
    const Read got = ReadInPlace(in_place.get()), want = ReadCopies(copies.get(), items.size());
    EXPECT_EQ(got.open, open);
    EXPECT_EQ(got.next, MSG_ERR_END);
    EXPECT_EQ(got.items, items);
    EXPECT_EQ(got.cursor, want.cursor) << "the cursor ends where MsgGetStringSet leaves it";
    if (open == MSG_OK && at == 0) {
      Items as_c_strings = items;  // the copies are C strings: an item ends at a NUL byte
      for (auto &item : as_c_strings) item = item.c_str();
      EXPECT_EQ(want.items, as_c_strings);
      uint32_t b = 0;
      EXPECT_EQ(MsgGetBool(in_place.get(), &b), MSG_OK) << "the next field follows the set";
    }
    EXPECT_EQ(want.open, open == MSG_OK && at != 0 ? uint32_t{MSG_ERR_END} : open) << "copies fail at once";
  }
  // A null reader skips the set like a null out-location of MsgGetStringSet.
  MsgPtr msg = Receive(Block(kReply, Set({"a", nullptr}) + Set({"b"}) + Int(5)), 1, nullptr);
  uint32_t count = 0;
  int32_t i = 0;
  EXPECT_TRUE(AllOk({MsgOpenStringSet(msg.get(), nullptr, &count), MsgGetStringSet(msg.get(), nullptr),
                     MsgGetInt(msg.get(), &i)}));
  EXPECT_TRUE(count == 2 && i == 5);
}

}  // namespace
