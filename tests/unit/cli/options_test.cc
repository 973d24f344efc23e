// Option handling and the name maps. The e2e suite runs the command lines of
// the failure tables; these are the orderings and forms it does not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_managelocal.h"
#include "support/child_run.h"

namespace {

TEST(Options, EachCommandLineLeavesItsOptionsOrEndsWithItsTextAndStatus) {
  const struct {
    std::vector<std::string> words;
    int status;  // 100: the run goes on
    std::string out, err = "";
  } cases[] = {
      // A dump name is case-sensitive: "User" is ignored, so the final check runs.
      {{"-d", "User", "-s", "-u"}, 7, "", "Error: options --status and --user cannot be used together.\n"},
      {{"-u", "-l", "visible", "-V"}, 100, "action=2 list=1 category=0 dump= force=0 profile=0 verbose=1"},
      {{"extra", "--li", "all", "--us"}, 100, "action=2 list=0 category=0 dump= force=0 profile=0 verbose=0"},
      // A later valid -d replaces an earlier one, an invalid one is ignored.
      {{"-d", "user", "-d", "groups", "-f"},
       100,
       "action=3 list=3 category=2 dump=user force=1 profile=0 verbose=0"},
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    c.words.insert(c.words.begin(), "vxaccounts");
    // The options left, or the status; either way what was printed. An ending
    // is thrown to here, as the option fuzzer has it.
    const vxtest::ChildResult r = vxtest::RunInChild([&] {
      SetOptionExitFunction([](int status) { throw status; });
      std::vector<char *> argv;
      for (std::string &word : c.words) argv.push_back(word.data());
      argv.push_back(nullptr);
      CommandOptions o;
      try {
        if (std::optional<int> end = ParseOptions(static_cast<int>(argv.size()) - 1, argv.data(), o))
          return *end;
      } catch (int status) {
        return status;
      }
      printf("action=%d list=%d category=%d dump=%s force=%d profile=%d verbose=%d", o.action, o.listType,
             o.category, o.dumpName.c_str(), o.force, o.profileOnly, o.verbose);
      return 100;
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(NameMaps, WordsAreExactUnlistedValuesHaveNoNameAndTheSwitchTakesThreeWords) {
  const std::pair<const char *, ListType> cases[] = {
      {"all", LIST_ALL},     {"visible", LIST_VISIBLE}, {"remove", LIST_REMOVE},
      {"ALL", LIST_INVALID}, {"Visible", LIST_INVALID}, {"all ", LIST_INVALID},
      {"", LIST_INVALID},    {"removed", LIST_INVALID},
  };
  for (const auto &[text, type] : cases) EXPECT_EQ(ParseListType(text), type) << text;
  EXPECT_EQ(ParseListType(nullptr), LIST_INVALID);
  EXPECT_EQ(ListTypeName(LIST_INVALID) + CategoryName(CATEGORY_NONE) + ActionOptionName(ACTION_NONE) +
                CategoryOptionName(CATEGORY_NONE),
            "");
  // The management switch: only true, yes and 1, in any case, enable.
  for (const char *on : {"true", "TRUE", "Yes", "yes", "1"}) EXPECT_TRUE(IsManageSwitchEnabled(on)) << on;
  for (const char *off : {"y", "on", "enabled", "", "false", "no", "0", " true", "2"})
    EXPECT_FALSE(IsManageSwitchEnabled(off)) << off;
}

}  // namespace
