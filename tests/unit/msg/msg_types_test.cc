// The message type table against testdata/types.txt: rows, names, flags and
// the lookups of every id.
#include "client_common/msg_types.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

namespace {

TEST(MsgTypeTable, RowsNamesAndFlagsAreTheAgents) {
  std::map<uint32_t, std::pair<std::string, uint32_t>> rows;  // id: name, flags
  std::ifstream in(MSG_TESTDATA "/types.txt");
  for (std::string line, rest; std::getline(in, line);) {
    std::istringstream words(line);
    uint32_t id = 0, flags = 0;
    std::string name;
    if (line.empty() || line[0] == '#') continue;
    EXPECT_TRUE(words >> id >> name >> flags && !(words >> rest) && rows.count(id) == 0) << line;
    rows[id] = {name, flags};
  }
  const MsgTypeTable *table = GetMsgTypeTable();
  ASSERT_EQ(table->count, 128u);
  ASSERT_EQ(rows.size(), table->count);
  auto row = rows.begin();
  for (uint32_t i = 0; i < table->count; ++i, ++row) {  // in the file's order: ascending ids
    EXPECT_EQ(table->rows[i].id, row->first);
    EXPECT_STREQ(table->rows[i].name, row->second.first.c_str());
    EXPECT_EQ(table->rows[i].flags, row->second.second) << row->first;
  }
  for (uint32_t id = 0; id <= 0x10000u; ++id) {  // ids beyond 16 bits are in no row
    const auto found = rows.find(id);
    const uint32_t flags = found != rows.end() ? found->second.second : 0;
    const char *name = MsgTypeName(table, id);
    EXPECT_EQ(std::string(name != nullptr ? name : "-"), found != rows.end() ? found->second.first : "-");
    EXPECT_EQ(MsgTypeIsSensitive(table, id), (flags & 1) ? 1 : 0) << id;
    EXPECT_EQ(MsgTypeIsOneWay(table, id), flags == 4 ? 1 : 0) << id;
  }
  EXPECT_EQ(MsgTypeName(table, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(MsgTypeName(nullptr, 0), nullptr);
  EXPECT_EQ(MsgTypeIsSensitive(nullptr, 500), 0);
  EXPECT_EQ(MsgTypeIsOneWay(nullptr, 505), 0);
}

}  // namespace
