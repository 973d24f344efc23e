// The message type table: shape, flags and lookups.
#include "client_common/msg_types.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr uint32_t kRowCount = 128;
constexpr uint32_t kLastId = 2000;  // above every id of the table

// The flags each row must carry, as the agent defines them; other rows 0.
uint32_t ExpectedFlags(uint32_t id) {
  static const std::set<uint32_t> flag1 = {500, 501, 504, 702, 708, 927, 1101}, flag4 = {505, 512, 517, 1200},
                                  flag3 = {101, 102, 104, 108, 110, 112, 113,  114,  513,  516, 703, 705,
                                           706, 709, 710, 711, 712, 715, 717,  718,  719,  720, 721, 722,
                                           724, 726, 800, 801, 925, 926, 1100, 1102, 1300, 1301};
  const bool in3 =
      flag3.count(id) || (id >= 900 && id <= 916) || (id >= 919 && id <= 922) || (id >= 929 && id <= 932);
  return flag1.count(id) ? 1 : flag4.count(id) ? 4 : in3 ? 3 : 0;
}

TEST(MsgTypeTable, RowsAreSortedNamedAndFlagged) {
  const MsgTypeTable *table = GetMsgTypeTable();
  ASSERT_EQ(table->count, kRowCount);
  std::set<std::string> names;
  int flagged = 0;
  for (uint32_t i = 0; i < table->count; ++i) {
    const MsgTypeEntry &row = table->rows[i];
    EXPECT_TRUE(i == 0 || table->rows[i - 1].id < row.id) << i;
    EXPECT_LE(row.id, 0xFFFFu);
    ASSERT_NE(row.name, nullptr);
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_STREQ(MsgTypeName(table, row.id), row.name);
    EXPECT_EQ(row.flags, ExpectedFlags(row.id)) << row.id;
    flagged += row.flags != 0;
  }
  int expected_flagged = 0;
  for (uint32_t id = 0; id <= kLastId; ++id) {
    const uint32_t flags = ExpectedFlags(id);
    expected_flagged += flags != 0;
    EXPECT_EQ(MsgTypeIsSensitive(table, id), (flags & 1) ? 1 : 0) << id;
    EXPECT_EQ(MsgTypeIsOneWay(table, id), flags == 4 ? 1 : 0) << id;
  }
  EXPECT_EQ(flagged, expected_flagged) << "every flagged id has its row";
}

// Samples and the ends of the table; the dump tests show the names of the
// command's own requests.
TEST(MsgTypeTable, NamesAndMisses) {
  const struct {
    uint32_t id;
    const char *name;
  } cases[] = {
      {MSGTYPE_DISCONNECT, "DISCONNECT"}, {MSGTYPE_AUTH_CHALLENGE2, "_ProcessAuthChallenge2"},
      {933, "VXAPIGetKerberosName"},      {MSGTYPE_AUDIT_TRAIL_EVENT, "ATProxySetAuditTrailEvent"},
      {1301, "PAMCloudAnswerChallenge"},  {MSGTYPE_GET_OBJECT_BY_NAME, "VXAPIGetObjectByName"},
  };
  for (const auto &c : cases) EXPECT_STREQ(MsgTypeName(GetMsgTypeTable(), c.id), c.name) << c.id;
  for (uint32_t id : {106u, 1302u, 0xFFFFu, 0x10000u, 0xFFFFFFFFu})
    EXPECT_EQ(MsgTypeName(GetMsgTypeTable(), id), nullptr) << id;
  EXPECT_EQ(MsgTypeName(nullptr, 0), nullptr);
  EXPECT_EQ(MsgTypeIsSensitive(nullptr, 500), 0);
  EXPECT_EQ(MsgTypeIsOneWay(nullptr, 505), 0);
}

}  // namespace
