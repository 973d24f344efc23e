// Argument text for the audit trail and the root check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "child_run.h"
#include "cli/cli_common.h"

namespace {

std::string Join(std::vector<std::string> words) {
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return JoinArguments(static_cast<int>(argv.size()) - 1, argv.data());
}

TEST(JoinArguments, WordsAfterTheProgramNameJoinedBySingleBlanks) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"vxaccounts"}, "(none)"},
      {{"vxaccounts", ""}, "(none)"},
      {{"vxaccounts", "--list", "all", "--user"}, "--list all --user"},
      {{"vxaccounts", "-s", ""}, "-s "},
      {{"vxaccounts", "a b", "c"}, "a b c"},
  };
  for (const auto &[words, expected] : cases) EXPECT_EQ(Join(words), expected);
  EXPECT_EQ(JoinArguments(0, nullptr), "(none)");
}

TEST(RootCheck, DecidesOnTheRealUserIdOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change user ids";
  struct Case {
    uid_t real, effective;
    int status;
    bool refused;
  };
  const Case cases[] = {{0, 0, 0, false}, {0, 65534, 0, false}, {65534, 0, 9, true}, {65534, 65534, 9, true}};
  for (const Case &c : cases) {
    clitest::ChildResult r = clitest::RunInChild([&] {
      if (setresuid(c.real, c.effective, 0) != 0) return 120;
      return rootCheck("cli.vxaccounts");
    });
    EXPECT_EQ(r.status, c.status) << c.real << "/" << c.effective;
    EXPECT_EQ(r.out, "");
    // The short program name only, whatever path started the test.
    EXPECT_EQ(r.err, c.refused ? "Error: cli_test may only be run by root.\n" : "");
  }
}

}  // namespace
