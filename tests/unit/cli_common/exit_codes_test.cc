#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli_common.h"

namespace {

using Texts = std::map<int32_t, std::string>;

// exit_codes.golden: one line per row, `table code "text"`, the text exactly
// as the command prints it (the quotes keep trailing blanks visible).
std::map<std::string, Texts> GoldenTables() {
  std::map<std::string, Texts> tables;
  std::ifstream in(CLI_COMMON_TEST_DATA "/exit_codes.golden");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
    tables[line.substr(0, sp1)][std::stoi(line.substr(sp1 + 1, sp2 - sp1 - 1))] =
        line.substr(sp2 + 2, line.size() - sp2 - 3);
  }
  return tables;
}

// Every row has its exact text; no other code has one, and no lookup falls
// back from one table to the other.
TEST(ExitCodes, EveryRowHasItsExactTextAndNoOtherCodeHasOne) {
  auto golden = GoldenTables();
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
