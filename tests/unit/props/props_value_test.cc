// Value processing: trimming, escapes, variables, self references and
// include files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "props_test_util.h"
#include "support/secure_owner.h"

namespace {

using propstest::NewSet;
using propstest::SetPtr;

std::string Process(Properties *set, const std::string &raw, uint32_t *status = nullptr) {
  char *out = ProcessRawValue1(raw.c_str(), set, status);
  std::string s = out != nullptr ? out : "(null)";
  free(out);
  return s;
}

TEST(PropsValue, TrimmingEscapesAndVariablesWithEnvironmentFirst) {
  std::string name(PROPS_MAX_VARIABLE_NAME, 'N');  // longer names are cut at the limit
  SetPtr set = NewSet({{"b", "y"}, {"sp", "\\ "}, {name, "v"}, {"VXTEST_VAR", "from-props"}});
  unsetenv("VXTEST_VAR");
  // '.' is a name character; text a variable inserts ends a trailing run of blanks.
  const std::pair<std::string, const char *> cases[] = {
      {"   \\ ", " "},   {"  plain  ", "plain"},
      {"a\\tb", "a\tb"}, {"\\$HOME", "$HOME"},
      {"end\\", "end"},  {"C:\\\\dir", "C:\\dir"},
      {"x \\  ", "x  "}, {"cost $ 5", "cost $ 5"},
      {"", ""},          {"\xff\xfe ", "\xff\xfe"},
      {" \t\n", ""},     {"x $sp  ", "x  "},
      {"$", "$"},        {"$" + name + "XY", "vXY"},
      {"x $b", "x y"},   {"$VXTEST_UNSET x", "$VXTEST_UNSET x"},
      {"$b.$b", "$b.y"}, {"hi $VXTEST_VAR", "hi from-props"},
      {"x $sp", "x  "},
  };
  for (const auto &[raw, expected] : cases) {
    uint32_t status = 99;
    EXPECT_EQ(Process(set.get(), raw, &status), expected) << raw;
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(Process(nullptr, "$b"), "$b");
  setenv("VXTEST_VAR", "from-env", 1);
  SetProperty(set.get(), "greeting", "hello $VXTEST_VAR!", nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "greeting", nullptr, nullptr), "hello from-env!");
  unsetenv("VXTEST_VAR");
}

TEST(PropsValue, SelfReferencesStayLiteral) {
  SetPtr set = NewSet({{"a", "$a"}, {"p", "1 $q"}, {"q", "2 $p"}});
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "a", nullptr, &status), "$a");
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "p", nullptr, &status), "1 2 $p");
  EXPECT_STREQ(GetProperty(set.get(), "q", nullptr, &status), "2 $p");  // q was processed inside p
  EXPECT_EQ(MatchKey(set.get(), "p")->flags & PROP_F_PROCESSING, 0);
  // A long chain must not exhaust the stack: it is resolved in nested runs
  // of bounded depth (lookups are linear, so a longer chain costs time).
  for (int i = 0; i < 5000; ++i) {
    const std::string key = "c" + std::to_string(i), next = "$c" + std::to_string(i + 1);
    SetProperty(set.get(), key.c_str(), next.c_str(), nullptr);
  }
  EXPECT_STREQ(GetProperty(set.get(), "c0", nullptr, nullptr), "$c5000");
  EXPECT_STREQ(GetProperty(set.get(), "c4999", nullptr, nullptr), "$c5000");
  // A cycle longer than the expansion limit ends too: the closing reference stays literal.
  for (int i = 0; i < 400; ++i)
    SetProperty(set.get(), ("r" + std::to_string(i)).c_str(), ("$r" + std::to_string((i + 1) % 400)).c_str(),
                nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "r0", nullptr, nullptr), "$r0");
}

// p0 -> p1 -> ... -> p300 -> END is longer than the expansion limit; no
// query order may leave a value cut short by the limit in any property.
TEST(PropsValue, ChainsLongerThanTheLimitGiveTheSameValueInEveryOrder) {
  constexpr int kLength = 300;
  static_assert(kLength > PROPS_MAX_EXPANSION_DEPTH);
  const std::vector<std::vector<std::string>> orders = {
      {"p200", "p0"}, {"p0", "p200"}, {"p0", "p300", "p44"}, {"p257", "p0", "p1"}, {"list", "p200", "p0"}};
  for (const auto &order : orders) {
    SetPtr set = NewSet();
    for (int i = 0; i <= kLength; ++i) {
      const std::string next = i < kLength ? "$p" + std::to_string(i + 1) : "END";
      SetProperty(set.get(), ("p" + std::to_string(i)).c_str(), next.c_str(), nullptr);
    }
    SetProperty(set.get(), "list", "file:/$p0", nullptr);  // include expansion at the top
    for (const std::string &key : order) {
      uint32_t status = 99;
      if (key == "list") {  // the include reference expands to file:/END, which does not exist
        EXPECT_EQ(IsStringInPropertyList(set.get(), "list", "x", nullptr, &status), 0);
        EXPECT_EQ(status, static_cast<uint32_t>(PROPS_ERR_NOENT));
        EXPECT_STREQ(MatchKey(set.get(), "list")->include_name, "file:/END");
        continue;
      }
      EXPECT_STREQ(GetProperty(set.get(), key.c_str(), nullptr, &status), "END")
          << key << " after " << order[0];
      EXPECT_EQ(status, 0u);
    }
  }
}

TEST(PropsInclude, ReferenceRecognition) {
  const std::pair<const char *, int> cases[] = {{"file:/etc/x", 1}, {" \t\n file:/x", 1}, {"\vfile:/x", 0},
                                                {"File:/x", 0},     {"file:x", 0},        {nullptr, 0}};
  for (auto [text, expected] : cases) EXPECT_EQ(IsIncludeFile(text), expected) << (text ? text : "(null)");
}

// Loads, without security, a main file whose key `users` includes the file `list`.
SetPtr LoadWithInclude(const vxtest::TempDir &dir, const std::string &list) {
  std::string main = dir.write("main.conf", "users: file:" + list + "\nother = $users\n");
  return SetPtr(LoadPropertiesWithoutSecurity(main.c_str(), nullptr, nullptr));
}

TEST(PropsInclude, LinesBecomeOneEscapedListExpandedOnce) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  vxtest::TempDir dir;
  setenv("VXTEST_INCLUDED", "carol", 1);
  std::string list = dir.write("users.list",
                               "alice\n# comment\n   bob smith\n\n!x\n  \"q,1\"\\\n   more\n back\\\\slash\n"
                               "$VXTEST_INCLUDED\n$users\n\\$VXTEST_INCLUDED\n");
  SetPtr set = LoadWithInclude(dir, list);
  ASSERT_NE(set, nullptr);
  const char *expected = "alice,bob smith,q,1 more,back\\slash,carol,$users,$VXTEST_INCLUDED";
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, &status), expected);
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "other", nullptr, nullptr), expected);
  Property *p = MatchKey(set.get(), "users");
  EXPECT_STREQ(p->value, "alice,bob\\ smith,q\\,1\\ more,back\\\\slash,carol,\\$users,\\$VXTEST_INCLUDED");
  EXPECT_STREQ(p->include_name, ("file:" + list).c_str());
  for (const char *element : {"bob smith", "q,1 more", "back\\slash", "$VXTEST_INCLUDED"}) {
    EXPECT_EQ(IsStringInPropertyList(set.get(), "users", element, nullptr, &status), 1) << element;
  }
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "bob", nullptr, &status), 0);
  unsetenv("VXTEST_INCLUDED");
}

// A failing include file, checked even for a main file loaded without
// security, fails every query of its key, again on each query.
TEST(PropsInclude, FailuresStickToTheProperty) {
  vxtest::TempDir dir;
  const std::pair<std::string, uint32_t> cases[] = {{"/nonexistent/list", PROPS_ERR_NOENT},
                                                    {"/", PROPS_ERR_SYSTEM} /* a directory */,
                                                    {dir.write("ww.list", "x\n", 0666), PROPS_ERR_INSECURE}};
  for (const auto &[list, expected] : cases) {
    if (expected == PROPS_ERR_INSECURE && geteuid() != 0) continue;  // needs root-owned test files
    SetPtr set = LoadWithInclude(dir, list);
    ASSERT_NE(set, nullptr);
    for (int round = 0; round < 2; ++round) {
      uint32_t s1 = 0, s2 = 0, s3 = 0, s4 = 0, count = 9;
      EXPECT_STREQ(GetProperty(set.get(), "users", "dflt", &s1), "dflt");
      EXPECT_EQ(GetPropertyInt(set.get(), "users", 5, &s2), 0);
      EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "x", nullptr, &s3), 0);
      EXPECT_EQ(GetValueList(set.get(), "users", &count, &s4), nullptr);
      EXPECT_EQ(std::vector<uint32_t>({s1, s2, s3, s4}), std::vector<uint32_t>(4, expected)) << list;
    }
  }
}

TEST(PropsInclude, DefaultIncludeListIsStoredAndReadOnce) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  vxtest::TempDir dir;
  std::string ref = "file:" + dir.write("d.list", "x\ny\n");
  SetPtr set = NewSet();
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "y", ref.c_str(), nullptr), 1);
  ASSERT_NE(set->head, nullptr);
  EXPECT_STREQ(set->head->value, "x,y");
  ASSERT_EQ(unlink(dir.file("d.list").c_str()), 0);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "x", ref.c_str(), nullptr), 1);  // cached
}

}  // namespace
