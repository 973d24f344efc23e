#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "cli_common.h"

namespace {

using Texts = std::map<int32_t, std::string>;

// Every row of exit_codes.golden has its exact text; no other code has one,
// and no lookup falls back from one table to the other. A golden line is
// `table code "text"`, the text exactly as the command prints it (the quotes
// keep trailing blanks visible); a line of another shape fails the test.
TEST(ExitCodes, EveryRowHasItsExactTextAndNoOtherCodeHasOne) {
  static const std::regex kRow("(common|local) (-?[0-9]+) \"(.*)\"");
  std::map<std::string, Texts> golden;
  std::ifstream in(CLI_COMMON_TEST_DATA "/exit_codes.golden");
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, m, kRow))
      golden[m[1]][std::stoi(m[2])] = m[3];
    else if (!line.empty() && line[0] != '#')
      ADD_FAILURE() << "exit_codes.golden: " << line;
  }
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
