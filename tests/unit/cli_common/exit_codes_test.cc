#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli_common.h"
#include "support/table_file.h"

namespace {

using Texts = std::map<int32_t, std::string>;

// Every row of exit_codes.golden (`table code "text"`, the text exactly as
// the command prints it) has its exact text; no other code has one, and no
// lookup falls back from one table to the other.
TEST(ExitCodes, EveryRowHasItsExactTextAndNoOtherCodeHasOne) {
  std::map<std::string, Texts> golden;
  for (const vxtest::Row &row : vxtest::ReadTable(CLI_COMMON_TEST_DATA "/exit_codes.golden"))
    if (row.Args(2)) golden[row[0]][static_cast<int32_t>(row.Number(1))] = row[2];
  ASSERT_EQ(golden["common"].size(), 53u);
  ASSERT_EQ(golden["local"].size(), 4u);
  const struct {
    const ExitCodeMap &table;
    const Texts &rows;
    std::vector<int32_t> without;
  } tables[] = {{CommonExitCodes, golden["common"], {1, 2, 3, 4, 5, 37, 51, 60, -1, 156, 159}},
                {LocalAccountExitCodes, golden["local"], {0, 13, 155, 160}}};
  for (const auto &t : tables) {
    for (const auto &[code, text] : t.rows)
      EXPECT_EQ(ExitCodeMessage(t.table, code), std::string_view(text)) << code;
    for (int32_t code : t.without) EXPECT_EQ(ExitCodeMessage(t.table, code), std::nullopt) << code;
    EXPECT_EQ(t.table.size(), t.rows.size()) << "no row beyond those listed";
  }
}

}  // namespace
