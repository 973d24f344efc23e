// Value processing: trimming, escapes, variables, self references and
// include files.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

std::string Process(Properties *set, const std::string &raw, uint32_t *status = nullptr) {
  char *out = ProcessRawValue1(raw.c_str(), set, status);
  std::string s = out != nullptr ? out : "(null)";
  free(out);
  return s;
}

TEST(PropsValue, TrimmingEscapesAndVariables) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"b", "y"}, {"sp", "\\ "}});
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
}

TEST(PropsValue, EnvironmentComesBeforeProperties) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"VXTEST_VAR", "from-props"}, {"greeting", "hello $VXTEST_VAR!"}});
  unsetenv("VXTEST_VAR");
  EXPECT_EQ(Process(set.get(), "hello $VXTEST_VAR"), "hello from-props");
  setenv("VXTEST_VAR", "from-env", 1);
  EXPECT_STREQ(GetProperty(set.get(), "greeting", nullptr, nullptr), "hello from-env!");
  unsetenv("VXTEST_VAR");
}

TEST(PropsValue, SelfReferencesStayLiteral) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"a", "$a"}, {"p", "1 $q"}, {"q", "2 $p"}});
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "a", nullptr, &status), "$a");
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "p", nullptr, &status), "1 2 $p");
  EXPECT_STREQ(GetProperty(set.get(), "q", nullptr, &status), "2 $p");  // q was processed inside p
  EXPECT_EQ(MatchKey(set.get(), "p")->flags & PROP_F_PROCESSING, 0);
}

TEST(PropsValue, LongReferenceChainsDoNotExhaustTheStack) {
  SetPtr set = propstest::NewSet();
  for (int i = 0; i < 20000; ++i) {
    SetProperty(set.get(), ("p" + std::to_string(i)).c_str(), ("$p" + std::to_string(i + 1)).c_str(), nullptr);
  }
  const char *v = GetProperty(set.get(), "p0", nullptr, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0], '$');  // cut somewhere along the chain, left literal
  EXPECT_STREQ(GetProperty(set.get(), "p19999", nullptr, nullptr), "$p20000");
}

TEST(PropsValue, LongVariableNamesAreCutAtTheLimit) {
  std::string name(PROPS_MAX_VARIABLE_NAME, 'N');
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), name.c_str(), "v", nullptr);
  EXPECT_EQ(Process(set.get(), "$" + name + "XY"), "vXY");
  uint32_t len = 0;
  EXPECT_EQ(ExpandVariable("-x", set.get(), &len, nullptr), nullptr);
  EXPECT_EQ(len, 0u);
}

TEST(PropsValue, IncludeReferenceRecognition) {
  const std::pair<const char *, int> cases[] = {{"file:/etc/x", 1}, {" \t\n file:/x", 1}, {"\vfile:/x", 0},
                                                {"File:/x", 0},     {"file:x", 0},        {nullptr, 0}};
  for (auto [text, expected] : cases) EXPECT_EQ(IsIncludeFile(text), expected) << (text ? text : "(null)");
}

class PropsInclude : public ::testing::Test {
 protected:
  // Loads a main file whose key `users` includes `list_text`.
  SetPtr LoadWithInclude(const std::string &list_text, unsigned mode = 0644) {
    std::string list = dir_.write("users.list", list_text, mode);
    std::string main = dir_.write("main.conf", "users: file:" + list + "\nother = $users\n");
    return SetPtr(LoadPropertiesWithoutSecurity(main.c_str(), nullptr, nullptr));
  }
  vxtest::TempDir dir_;
};

TEST_F(PropsInclude, LinesBecomeOneEscapedList) {
  SetPtr set = LoadWithInclude("alice\n# comment\n   bob smith\n\n!x\n  \"q,1\"\\\n   more\n back\\\\slash\n");
  ASSERT_NE(set, nullptr);
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, &status), "alice,bob smith,q,1 more,back\\slash");
  EXPECT_EQ(status, 0u);
  Property *p = MatchKey(set.get(), "users");
  EXPECT_STREQ(p->value, "alice,bob\\ smith,q\\,1\\ more,back\\\\slash");
  EXPECT_STREQ(p->include_name, ("file:" + dir_.file("users.list")).c_str());
  for (const char *element : {"bob smith", "q,1 more", "back\\slash"}) {
    EXPECT_EQ(IsStringInPropertyList(set.get(), "users", element, nullptr, &status), 1) << element;
  }
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "bob", nullptr, &status), 0);
}

TEST_F(PropsInclude, LinesAreExpandedOnceOnly) {
  setenv("VXTEST_INCLUDED", "carol", 1);
  SetPtr set = LoadWithInclude("$VXTEST_INCLUDED\n$users\n\\$VXTEST_INCLUDED\n");
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, nullptr), "carol,$users,$VXTEST_INCLUDED");
  EXPECT_STREQ(GetProperty(set.get(), "other", nullptr, nullptr), "carol,$users,$VXTEST_INCLUDED");
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "$VXTEST_INCLUDED", nullptr, nullptr), 1);
  unsetenv("VXTEST_INCLUDED");
}

TEST_F(PropsInclude, FailuresStickToTheProperty) {
  const std::pair<const char *, uint32_t> cases[] = {{"file:/nonexistent/list", PROPS_ERR_NOENT},
                                                     {"file:/", PROPS_ERR_SYSTEM} /* a directory */};
  for (auto [value, expected] : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "k", value, nullptr);
    for (int round = 0; round < 2; ++round) {
      uint32_t status = 0, count = 9;
      EXPECT_STREQ(GetProperty(set.get(), "k", "dflt", &status), "dflt");
      EXPECT_EQ(status, expected) << value;
      EXPECT_EQ(GetPropertyInt(set.get(), "k", 5, &status), 0);
      EXPECT_EQ(status, expected);
      EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "x", nullptr, &status), 0);
      EXPECT_EQ(status, expected);
      EXPECT_EQ(GetValueList(set.get(), "k", &count, &status), nullptr);
      EXPECT_EQ(status, expected);
    }
  }
}

TEST_F(PropsInclude, WorldWritableIncludeIsRefusedEvenForAPlainMainFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root-owned test files";
  SetPtr set = LoadWithInclude("alice\n", 0666);
  ASSERT_NE(set, nullptr);
  for (int round = 0; round < 2; ++round) {
    uint32_t status = 0;
    EXPECT_EQ(GetProperty(set.get(), "users", nullptr, &status), nullptr);
    EXPECT_EQ(status, PROPS_ERR_INSECURE);
    EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "alice", nullptr, &status), 0);
    EXPECT_EQ(status, PROPS_ERR_INSECURE);
  }
}

TEST_F(PropsInclude, DefaultIncludeListIsStoredAndReadOnce) {
  std::string list = dir_.write("d.list", "x\ny\n");
  SetPtr set = propstest::NewSet();
  std::string ref = "file:" + list;
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "y", ref.c_str(), nullptr), 1);
  ASSERT_NE(set->head, nullptr);
  EXPECT_STREQ(set->head->value, "x,y");
  ASSERT_EQ(unlink(list.c_str()), 0);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "x", ref.c_str(), nullptr), 1);  // cached
}

}  // namespace
