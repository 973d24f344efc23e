// Argument text for the audit trail and the root check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "support/child_run.h"

namespace {

TEST(JoinArguments, WordsAfterTheProgramNameJoinedBySingleBlanks) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"vxaccounts"}, "(none)"},
      {{"vxaccounts", ""}, "(none)"},
      {{"vxaccounts", "--list", "all", "--user"}, "--list all --user"},
      {{"vxaccounts", "-s", ""}, "-s "},
      {{"vxaccounts", "a b", "c"}, "a b c"},
  };
  for (auto [words, expected] : cases) {
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    EXPECT_EQ(JoinArguments(static_cast<int>(argv.size()) - 1, argv.data()), expected);
  }
  EXPECT_EQ(JoinArguments(0, nullptr), "(none)");
}

// The e2e suite runs the command as another user; here the real and the
// effective user differ.
TEST(RootCheck, DecidesOnTheRealUserIdOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change user ids";
  const struct {
    uid_t real, effective;
    bool refused;
  } cases[] = {{0, 65534, false}, {65534, 0, true}};
  for (const auto &c : cases) {
    vxtest::ChildResult r = vxtest::RunInChild([&] {
      if (setresuid(c.real, c.effective, 0) != 0) return 120;
      return rootCheck("cli.vxaccounts");
    });
    EXPECT_EQ(r.status, c.refused ? 9 : 0) << c.real << "/" << c.effective;
    EXPECT_EQ(r.out, "");
    // The short program name only, whatever path started the test.
    EXPECT_EQ(r.err, c.refused ? "Error: cli_test may only be run by root.\n" : "");
  }
}

}  // namespace
