// Value processing: trimming, escapes, variables, self references and
// include files.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::NewSet;
using propstest::SetPtr;

std::string Process(Properties *set, const std::string &raw, uint32_t *status = nullptr) {
  char *out = ProcessRawValue1(raw.c_str(), set, status);
  std::string s = out != nullptr ? out : "(null)";
  free(out);
  return s;
}

TEST(PropsValue, TrimmingEscapesAndVariables) {
  SetPtr set = NewSet({{"b", "y"}, {"sp", "\\ "}});
  const std::pair<const char *, const char *> cases[] = {
      {"  plain  ", "plain"}, {"   \\ ", " "},      {"a\\tb", "a\tb"},   {"\\$HOME", "$HOME"},   {"end\\", "end"},
      {"x \\  ", "x  "},      {"C:\\\\dir", "C:\\dir"}, {"", ""},       {" \t\n", ""},          {"$", "$"},
      {"cost $ 5", "cost $ 5"}, {"\xff\xfe ", "\xff\xfe"}, {"x $b", "x y"}, {"$b.$b", "$b.y"} /* '.' is a name character */,
      {"x $sp", "x  "},       {"x $sp  ", "x  "} /* inserted text ends the trailing run */,
      {"$VXTEST_UNKNOWN_NAME stays", "$VXTEST_UNKNOWN_NAME stays"}};
  for (auto [raw, expected] : cases) {
    uint32_t status = 99;
    EXPECT_EQ(Process(set.get(), raw, &status), expected) << raw;
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(Process(nullptr, "$b"), "$b");
  std::string name(PROPS_MAX_VARIABLE_NAME, 'N');  // longer names are cut at the limit
  SetProperty(set.get(), name.c_str(), "v", nullptr);
  EXPECT_EQ(Process(set.get(), "$" + name + "XY"), "vXY");
  uint32_t len = 0;
  EXPECT_EQ(ExpandVariable("-x", set.get(), &len, nullptr), nullptr);
  EXPECT_EQ(len, 0u);
}

TEST(PropsValue, EnvironmentComesBeforeProperties) {
  SetPtr set = NewSet({{"VXTEST_VAR", "from-props"}, {"greeting", "hello $VXTEST_VAR!"}});
  unsetenv("VXTEST_VAR");
  EXPECT_EQ(Process(set.get(), "hello $VXTEST_VAR"), "hello from-props");
  setenv("VXTEST_VAR", "from-env", 1);
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
  for (int i = 0; i < 20000; ++i) {  // a long chain must not exhaust the stack
    SetProperty(set.get(), ("c" + std::to_string(i)).c_str(), ("$c" + std::to_string(i + 1)).c_str(), nullptr);
  }
  const char *v = GetProperty(set.get(), "c0", nullptr, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0], '$');  // cut somewhere along the chain, left literal
  EXPECT_STREQ(GetProperty(set.get(), "c19999", nullptr, nullptr), "$c20000");
}

TEST(PropsInclude, ReferenceRecognition) {
  const std::pair<const char *, int> cases[] = {{"file:/etc/x", 1}, {" \t\n file:/x", 1}, {"\vfile:/x", 0},
                                                {"File:/x", 0},     {"file:x", 0},        {nullptr, 0}};
  for (auto [text, expected] : cases) EXPECT_EQ(IsIncludeFile(text), expected) << (text ? text : "(null)");
}

// Loads a main file whose key `users` includes a file holding `list_text`.
SetPtr LoadWithInclude(const vxtest::TempDir &dir, const std::string &list_text, unsigned mode = 0644) {
  std::string list = dir.write("users.list", list_text, mode);
  std::string main = dir.write("main.conf", "users: file:" + list + "\nother = $users\n");
  return SetPtr(LoadPropertiesWithoutSecurity(main.c_str(), nullptr, nullptr));
}

TEST(PropsInclude, LinesBecomeOneEscapedListExpandedOnce) {
  vxtest::TempDir dir;
  setenv("VXTEST_INCLUDED", "carol", 1);
  SetPtr set = LoadWithInclude(dir, "alice\n# comment\n   bob smith\n\n!x\n  \"q,1\"\\\n   more\n back\\\\slash\n"
                                    "$VXTEST_INCLUDED\n$users\n\\$VXTEST_INCLUDED\n");
  ASSERT_NE(set, nullptr);
  const char *expected = "alice,bob smith,q,1 more,back\\slash,carol,$users,$VXTEST_INCLUDED";
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, &status), expected);
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "other", nullptr, nullptr), expected);
  Property *p = MatchKey(set.get(), "users");
  EXPECT_STREQ(p->value, "alice,bob\\ smith,q\\,1\\ more,back\\\\slash,carol,\\$users,\\$VXTEST_INCLUDED");
  EXPECT_STREQ(p->include_name, ("file:" + dir.file("users.list")).c_str());
  for (const char *element : {"bob smith", "q,1 more", "back\\slash", "$VXTEST_INCLUDED"}) {
    EXPECT_EQ(IsStringInPropertyList(set.get(), "users", element, nullptr, &status), 1) << element;
  }
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "bob", nullptr, &status), 0);
  unsetenv("VXTEST_INCLUDED");
}

TEST(PropsInclude, FailuresStickToTheProperty) {
  const std::pair<const char *, uint32_t> cases[] = {{"file:/nonexistent/list", PROPS_ERR_NOENT},
                                                     {"file:/", PROPS_ERR_SYSTEM} /* a directory */};
  for (auto [value, expected] : cases) {
    SetPtr set = NewSet({{"k", value}});
    for (int round = 0; round < 2; ++round) {
      uint32_t s1 = 0, s2 = 0, s3 = 0, s4 = 0, count = 9;
      EXPECT_STREQ(GetProperty(set.get(), "k", "dflt", &s1), "dflt");
      EXPECT_EQ(GetPropertyInt(set.get(), "k", 5, &s2), 0);
      EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "x", nullptr, &s3), 0);
      EXPECT_EQ(GetValueList(set.get(), "k", &count, &s4), nullptr);
      EXPECT_EQ(std::vector<uint32_t>({s1, s2, s3, s4}), std::vector<uint32_t>(4, expected)) << value;
    }
  }
}

// An include file is checked even when the main file was loaded without security.
TEST(PropsInclude, WorldWritableIncludeIsRefusedEvenForAPlainMainFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root-owned test files";
  vxtest::TempDir dir;
  SetPtr set = LoadWithInclude(dir, "alice\n", 0666);
  ASSERT_NE(set, nullptr);
  for (int round = 0; round < 2; ++round) {
    uint32_t s1 = 0, s2 = 0;
    EXPECT_EQ(GetProperty(set.get(), "users", nullptr, &s1), nullptr);
    EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "alice", nullptr, &s2), 0);
    EXPECT_EQ(s1, PROPS_ERR_INSECURE);
    EXPECT_EQ(s2, PROPS_ERR_INSECURE);
  }
}

TEST(PropsInclude, DefaultIncludeListIsStoredAndReadOnce) {
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
