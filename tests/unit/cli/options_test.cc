// Option handling and the name maps. The e2e suite runs the usual command
// lines; these are the orderings and forms it does not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_managelocal.h"
#include "support/child_run.h"
#include "support/temp_dir.h"

namespace {

constexpr int kContinues = 100;  // the child's status when the run would go on
const std::string kUsage = vxtest::ReadFile(CLI_TEST_DATA "/usage.golden");
const std::string kAnyDiagnostic = "?";

vxtest::ChildResult Parse(std::vector<std::string> words) {
  return vxtest::RunInChild([&] {
    std::vector<char *> argv;
    static char program[] = "vxaccounts";
    argv.push_back(program);
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    CommandOptions o;
    if (std::optional<int> end = ParseOptions(static_cast<int>(argv.size()) - 1, argv.data(), o)) return *end;
    printf("action=%d list=%d category=%d dump=%s force=%d profile=%d verbose=%d", o.action, o.listType,
           o.category, o.dumpName.c_str(), o.force, o.profileOnly, o.verbose);
    return kContinues;
  });
}

TEST(Options, EndingsPrintExactlyTheirTextAndStatus) {
  const struct {
    std::vector<std::string> words;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--help", "-s"}, 7, kUsage, ""},
      {{"-s", "-v", "-R"}, 0, "Vorlex 5.3.1-398\n", ""},
      {{"-l", "all", "-l", "visible", "-u"}, 7, "", "Error: multiple action are not allowed.\n"},
      {{"-V"}, 7, kUsage, ""},
      {{"--list=-all", "-u"}, 7, kUsage, ""},
      {{"-d", "User", "-s", "-u"}, 7, "", "Error: options --status and --user cannot be used together.\n"},
      {{"-s", "--bogus"}, 7, kUsage, kAnyDiagnostic},
      {{"-s", "-d"}, 7, kUsage, kAnyDiagnostic},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    vxtest::ChildResult r = Parse(c.words);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    // getopt_long prints its own diagnostic.
    EXPECT_TRUE(c.err == kAnyDiagnostic ? !r.err.empty() : r.err == c.err) << r.err;
  }
}

TEST(Options, AcceptedCommandLinesLeaveTheirOptions) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-R", "-f", "-p"}, "action=1 list=3 category=2 dump= force=1 profile=1 verbose=0"},
      {{"--list=remove", "--group"}, "action=2 list=2 category=1 dump= force=0 profile=0 verbose=0"},
      {{"-u", "-l", "visible", "-V"}, "action=2 list=1 category=0 dump= force=0 profile=0 verbose=1"},
      {{"extra", "--stat"}, "action=0 list=3 category=2 dump= force=0 profile=0 verbose=0"},
      {{"--li", "all", "--us"}, "action=2 list=0 category=0 dump= force=0 profile=0 verbose=0"},
      // A valid dump skips the final check; a later valid -d replaces it, an
      // invalid one is ignored.
      {{"-d", "user", "-s", "-u"}, "action=0 list=3 category=0 dump=user force=0 profile=0 verbose=0"},
      {{"-d", "user", "-d", "group"}, "action=3 list=3 category=2 dump=group force=0 profile=0 verbose=0"},
      {{"-d", "user", "-d", "groups", "-f"},
       "action=3 list=3 category=2 dump=user force=1 profile=0 verbose=0"},
  };
  for (const auto &[words, options] : cases) {
    vxtest::ChildResult r = Parse(words);
    EXPECT_EQ(r.status, kContinues) << words[0];
    EXPECT_EQ(r.out, options) << words[0];
    EXPECT_EQ(r.err, "") << words[0];
  }
}

TEST(NameMaps, ListTypeWordsAreExactAndCaseSensitive) {
  const std::pair<const char *, ListType> cases[] = {
      {"all", LIST_ALL},     {"visible", LIST_VISIBLE}, {"remove", LIST_REMOVE},
      {"ALL", LIST_INVALID}, {"Visible", LIST_INVALID}, {"all ", LIST_INVALID},
      {"", LIST_INVALID},    {"removed", LIST_INVALID},
  };
  for (const auto &[text, type] : cases) EXPECT_EQ(ParseListType(text), type) << text;
  EXPECT_EQ(ParseListType(nullptr), LIST_INVALID);
}

TEST(ManageSwitch, OnlyTrueYesAndOneInAnyCaseEnable) {
  for (const char *on : {"true", "TRUE", "Yes", "yes", "1"}) EXPECT_TRUE(IsManageSwitchEnabled(on)) << on;
  for (const char *off : {"y", "on", "enabled", "", "false", "no", "0", " true", "2"})
    EXPECT_FALSE(IsManageSwitchEnabled(off)) << off;
}

}  // namespace
