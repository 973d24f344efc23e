// Value processing: trimming, escapes, variables, self references and
// include files.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

std::string Process(Properties *set, const char *raw, uint32_t *status = nullptr) {
  char *out = ProcessRawValue1(raw, set, status);
  std::string s = out != nullptr ? out : "(null)";
  free(out);
  return s;
}

TEST(PropsValue, TrimmingAndEscapes) {
  struct Case {
    const char *raw;
    const char *expected;
  } cases[] = {
      {"  plain  ", "plain"},     {"   \\ ", " "},          {"a\\tb", "a\tb"},
      {"\\$HOME", "$HOME"},       {"end\\", "end"},         {"x \\  ", "x  "},
      {"C:\\\\dir", "C:\\dir"},   {"\\n", "\n"},            {"", ""},
      {" \t\n", ""},              {"a\\ \\ ", "a  "},       {"$", "$"},
      {"cost $ 5", "cost $ 5"},   {"\xff\xfe ", "\xff\xfe"},
  };
  SetPtr set = propstest::NewSet();
  for (const auto &c : cases) {
    uint32_t status = 99;
    EXPECT_EQ(Process(set.get(), c.raw, &status), c.expected) << c.raw;
    EXPECT_EQ(status, 0u);
  }
}

TEST(PropsValue, EnvironmentComesBeforeProperties) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"VXTEST_VAR", "from-props"}, {"b", "y"}, {"greeting", "hello $VXTEST_VAR!"}});
  unsetenv("VXTEST_VAR");
  EXPECT_EQ(Process(set.get(), "hello $VXTEST_VAR"), "hello from-props");
  setenv("VXTEST_VAR", "from-env", 1);
  EXPECT_EQ(Process(set.get(), "hello $VXTEST_VAR"), "hello from-env");
  EXPECT_STREQ(GetProperty(set.get(), "greeting", nullptr, nullptr), "hello from-env!");
  unsetenv("VXTEST_VAR");
  EXPECT_EQ(Process(set.get(), "$VXTEST_UNKNOWN_NAME stays"), "$VXTEST_UNKNOWN_NAME stays");
  EXPECT_EQ(Process(set.get(), "x $b"), "x y");
  EXPECT_EQ(Process(set.get(), "$b.$b"), "$b.y");  // '.' belongs to the name
  EXPECT_EQ(Process(nullptr, "$b"), "$b");
}

TEST(PropsValue, VariableTextEndsATrailingBlankRun) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"sp", "\\ "}, {"v", "x $sp"}});
  EXPECT_STREQ(GetProperty(set.get(), "sp", nullptr, nullptr), " ");
  EXPECT_EQ(Process(set.get(), "x $sp"), "x  ");
  EXPECT_EQ(Process(set.get(), "x $sp  "), "x  ");
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
  const int length = 20000;
  for (int i = 0; i < length; ++i) {
    std::string value = "$p" + std::to_string(i + 1);
    SetProperty(set.get(), ("p" + std::to_string(i)).c_str(), value.c_str(), nullptr);
  }
  const char *v = GetProperty(set.get(), "p0", nullptr, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0], '$');  // cut somewhere along the chain, left literal
  EXPECT_STREQ(GetProperty(set.get(), std::string("p" + std::to_string(length - 1)).c_str(), nullptr, nullptr),
               ("$p" + std::to_string(length)).c_str());
}

TEST(PropsValue, LongVariableNamesAreCutAtTheLimit) {
  std::string name(PROPS_MAX_VARIABLE_NAME, 'N');
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), name.c_str(), "v", nullptr);
  EXPECT_EQ(Process(set.get(), ("$" + name + "XY").c_str()), "vXY");
  uint32_t len = 0;
  EXPECT_STREQ(ExpandVariable((name + "XY").c_str(), set.get(), &len, nullptr), "v");
  EXPECT_EQ(len, static_cast<uint32_t>(PROPS_MAX_VARIABLE_NAME));
  EXPECT_EQ(ExpandVariable("-x", set.get(), &len, nullptr), nullptr);
  EXPECT_EQ(len, 0u);
}

TEST(PropsValue, IncludeReferenceRecognition) {
  EXPECT_EQ(IsIncludeFile("file:/etc/x"), 1);
  EXPECT_EQ(IsIncludeFile(" \t\n file:/x"), 1);
  EXPECT_EQ(IsIncludeFile("\vfile:/x"), 0);
  EXPECT_EQ(IsIncludeFile("File:/x"), 0);
  EXPECT_EQ(IsIncludeFile("file:x"), 0);
  EXPECT_EQ(IsIncludeFile(nullptr), 0);
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
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "bob smith", nullptr, &status), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "q,1 more", nullptr, &status), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "back\\slash", nullptr, &status), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "bob", nullptr, &status), 0);
  uint32_t count = 0;
  char **items = GetValueList(set.get(), "users", &count, &status);
  EXPECT_EQ(count, 4u);
  for (uint32_t i = 0; i < count; ++i) free(items[i]);
  free(items);
}

TEST_F(PropsInclude, IncludeLinesAreExpanded) {
  setenv("VXTEST_INCLUDED", "carol", 1);
  SetPtr set = LoadWithInclude("$VXTEST_INCLUDED\n$users\n");
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, nullptr), "carol,$users");
  EXPECT_STREQ(GetProperty(set.get(), "other", nullptr, nullptr), "carol,$users");
  unsetenv("VXTEST_INCLUDED");
}

TEST_F(PropsInclude, ElementsAreNotExpandedTwice) {
  setenv("VXTEST_TWICE", "expanded", 1);
  SetPtr set = LoadWithInclude("\\$VXTEST_TWICE\n");
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, nullptr), "$VXTEST_TWICE");
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "$VXTEST_TWICE", nullptr, nullptr), 1);
  unsetenv("VXTEST_TWICE");
}

TEST_F(PropsInclude, EmptyIncludeFileGivesAnEmptyList) {
  SetPtr set = LoadWithInclude("# nothing\n");
  EXPECT_STREQ(GetProperty(set.get(), "users", "d", nullptr), "");
}

TEST_F(PropsInclude, FailuresStickToTheProperty) {
  struct Case {
    const char *value;
    uint32_t status;
  } cases[] = {
      {"file:/nonexistent/list", PROPS_ERR_NOENT},
      {"file:/", PROPS_ERR_SYSTEM},  // a directory
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "k", c.value, nullptr);
    for (int round = 0; round < 2; ++round) {
      uint32_t status = 0;
      EXPECT_STREQ(GetProperty(set.get(), "k", "dflt", &status), "dflt");
      EXPECT_EQ(status, c.status) << c.value;
      EXPECT_EQ(GetPropertyInt(set.get(), "k", 5, &status), 0);
      EXPECT_EQ(status, c.status);
      EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "x", nullptr, &status), 0);
      EXPECT_EQ(status, c.status);
      uint32_t count = 9;
      EXPECT_EQ(GetValueList(set.get(), "k", &count, &status), nullptr);
      EXPECT_EQ(status, c.status);
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
  EXPECT_STREQ(MatchKey(set.get(), "users")->include_name, ("file:" + dir_.file("users.list")).c_str());
}

TEST_F(PropsInclude, SymlinkedIncludeIsRefused) {
  std::string list = dir_.write("real.list", "alice\n");
  std::string link = dir_.file("link.list");
  ASSERT_EQ(symlink(list.c_str(), link.c_str()), 0);
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), "k", ("file:" + link).c_str(), nullptr);
  uint32_t status = 0;
  EXPECT_EQ(GetProperty(set.get(), "k", nullptr, &status), nullptr);
  EXPECT_EQ(status, PROPS_ERR_INSECURE);
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

TEST_F(PropsInclude, LongIncludeFileReadsWhole) {
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "user" + std::to_string(i) + "\n";
  SetPtr set = LoadWithInclude(text);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "user49999", nullptr, nullptr), 1);
  EXPECT_EQ(IsIntegerInPropertyList(set.get(), "users", 1, nullptr, nullptr), 0);
}

}  // namespace
