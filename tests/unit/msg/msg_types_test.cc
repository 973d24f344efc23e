// The message type table: shape, flags and lookups.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "client_common/msg_types.h"

namespace {

constexpr uint32_t kRowCount = 128;
constexpr uint32_t kLastId = 2000; /* above every id of the table */

std::set<uint32_t> Range(uint32_t first, uint32_t last) {
  std::set<uint32_t> ids;
  for (uint32_t id = first; id <= last; ++id) ids.insert(id);
  return ids;
}

// The flags each row must carry, as the agent defines them.
const std::set<uint32_t> kFlag1 = {500, 501, 504, 702, 708, 927, 1101};
const std::set<uint32_t> kFlag4 = {505, 512, 517, 1200};
std::set<uint32_t> Flag3() {
  std::set<uint32_t> ids = {101, 102, 104, 108, 110, 112, 113, 114, 513, 516, 703, 705, 706, 709, 710,
                            711, 712, 715, 717, 718, 719, 720, 721, 722, 724, 726, 800, 801, 925, 926,
                            1100, 1102, 1300, 1301};
  for (const auto &r : {Range(900, 916), Range(919, 922), Range(929, 932)}) ids.insert(r.begin(), r.end());
  return ids;
}

TEST(MsgTypeTable, RowsAreSortedUniqueAndNamed) {
  const MsgTypeTable *table = GetMsgTypeTable();
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->count, kRowCount);
  std::set<std::string> names;
  for (uint32_t i = 0; i < table->count; ++i) {
    const MsgTypeEntry &row = table->rows[i];
    if (i > 0) {
      EXPECT_LT(table->rows[i - 1].id, row.id) << i;
    }
    EXPECT_LE(row.id, 0xFFFFu);
    ASSERT_NE(row.name, nullptr);
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_STREQ(MsgTypeName(table, row.id), row.name);
  }
}

TEST(MsgTypeTable, EveryRowHasItsFlags) {
  const MsgTypeTable *table = GetMsgTypeTable();
  const std::set<uint32_t> flag3 = Flag3();
  for (uint32_t i = 0; i < table->count; ++i) {
    const uint32_t id = table->rows[i].id;
    const uint32_t expected = kFlag1.count(id) ? 1u : kFlag4.count(id) ? 4u : flag3.count(id) ? 3u : 0u;
    EXPECT_EQ(table->rows[i].flags, expected) << id;
  }
  size_t listed = kFlag1.size() + kFlag4.size() + flag3.size(), found = 0;
  for (uint32_t i = 0; i < table->count; ++i) found += table->rows[i].flags != 0;
  EXPECT_EQ(found, listed);
}

TEST(MsgTypeTable, QueriesAnswerForEveryId) {
  const MsgTypeTable *table = GetMsgTypeTable();
  const std::set<uint32_t> flag3 = Flag3();
  for (uint32_t id = 0; id <= kLastId; ++id) {
    const bool sensitive = kFlag1.count(id) || flag3.count(id);
    EXPECT_EQ(MsgTypeIsSensitive(table, id), sensitive ? 1 : 0) << id;
    EXPECT_EQ(MsgTypeIsOneWay(table, id), kFlag4.count(id) ? 1 : 0) << id;
  }
  for (uint32_t id : {106u, 1302u, 0xFFFFu, 0x10000u, 0xFFFFFFFFu}) EXPECT_EQ(MsgTypeName(table, id), nullptr);
  EXPECT_EQ(MsgTypeName(nullptr, 0), nullptr);
  EXPECT_EQ(MsgTypeIsSensitive(nullptr, 500), 0);
  EXPECT_EQ(MsgTypeIsOneWay(nullptr, 505), 0);
}

TEST(MsgTypeTable, NamesOfTheTypesThisClientUses) {
  const struct {
    uint32_t id;
    const char *name;
  } cases[] = {
      {MSGTYPE_DISCONNECT, "DISCONNECT"},
      {MSGTYPE_AUTH_CHALLENGE2, "_ProcessAuthChallenge2"},
      {MSGTYPE_CONTROL_LOG2, "ControlLog2"},
      {MSGTYPE_GET_LOCAL_ACCT_MGMT, "ControlGetLocalAcctMgmtStatus"},
      {MSGTYPE_RELOAD_LOCAL_ACCT, "ControlReloadLocalAccount"},
      {MSGTYPE_LIST_LOCAL_ACCT, "ControlListLocalAccount"},
      {MSGTYPE_DUMP_LOCAL_ACCT, "ControlDumpLocalAccount"},
      {MSGTYPE_GET_OBJECT_BY_NAME, "VXAPIGetObjectByName"},
      {MSGTYPE_AUDIT_TRAIL_EVENT, "ATProxySetAuditTrailEvent"},
      {933, "VXAPIGetKerberosName"},
      {1301, "PAMCloudAnswerChallenge"},
  };
  for (const auto &c : cases) EXPECT_STREQ(MsgTypeName(GetMsgTypeTable(), c.id), c.name) << c.id;
}

}  // namespace
