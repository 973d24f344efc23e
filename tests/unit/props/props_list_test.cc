// List-valued properties: string membership, integer ranges, element lists.
#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

std::vector<std::string> ValueList(Properties *set, const char *key, uint32_t *status = nullptr) {
  uint32_t count = 12345;
  uint32_t st = 99;
  char **items = GetValueList(set, key, &count, &st);
  std::vector<std::string> out;
  for (uint32_t i = 0; items != nullptr && items[i] != nullptr; ++i) {
    out.push_back(items[i]);
    free(items[i]);
  }
  EXPECT_EQ(count, out.size());
  free(items);
  if (status != nullptr) *status = st;
  return out;
}

TEST(PropsList, StringMembership) {
  struct Case {
    const char *list;
    const char *needle;
    int expected;
  } cases[] = {
      {"a, b, c", "b", 1},    {"a b", "b", 1},        {"a, bc", "b", 0},      {"a, bc", "bc", 1},
      {"\\\"x\\ y\\\" z", "\"x y\"", 1}, {"x\\ y z", "x y", 1}, {"x\\ y z", "x", 0}, {"a\\,b,c", "a,b", 1},
      {"a\\tb", "a\tb", 1},   {" lead", "lead", 1},   {"", "x", 0},           {"end\\", "end", 1},
      {"ab", "abc", 0},       {"a,,b", "b", 1},
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "l", c.list, nullptr);
    uint32_t status = 99;
    EXPECT_EQ(IsStringInPropertyList(set.get(), "l", c.needle, nullptr, &status), c.expected)
        << c.list << " / " << c.needle;
    EXPECT_EQ(status, 0u);
  }
}

TEST(PropsList, QuotedFileValueKeepsItsBlanksInOneElement) {
  vxtest::TempDir dir;
  SetPtr set = propstest::LoadText(dir, "users = \"x y\" z\n");
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "x y", nullptr, nullptr), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "z", nullptr, nullptr), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "x", nullptr, nullptr), 0);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "", nullptr, nullptr), 0);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", nullptr, nullptr, nullptr), 0);
}

TEST(PropsList, AbsentKeyUsesTheDefaultList) {
  SetPtr set = propstest::NewSet();
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "b", "a,b", nullptr), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "b", nullptr, nullptr), 0);
  EXPECT_EQ(IsIntegerInPropertyList(set.get(), "k", 3, "1-5", nullptr), 1);
  EXPECT_EQ(IsIntegerInPropertyList(set.get(), "k", 3, nullptr, nullptr), 0);
  EXPECT_EQ(set->head, nullptr);  // a plain default list is not stored
}

TEST(PropsList, IntegerRanges) {
  struct Case {
    const char *list;
    int32_t value;
    int expected;
  } cases[] = {
      {"1,5-9", 7, 1},          {"1 5-9", 7, 0},       {"1 5-9", 1, 1},         {"1, 5-9, 12 - 14", 13, 1},
      {"1, 5-9, 12 - 14", 10, 0}, {"-3--1", -2, 1},    {"-3--1", 0, 0},         {"9-5", 7, 0},
      {"x, 4", 4, 1},           {"x4", 4, 0},          {",,4", 4, 1},           {"4-", 4, 1},
      {"99999999999, 5", 5, 1}, {"2147483647", INT32_MAX, 1}, {"", 0, 0},       {"  8  ,", 8, 1},
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "r", c.list, nullptr);
    EXPECT_EQ(IsIntegerInPropertyList(set.get(), "r", c.value, nullptr, nullptr), c.expected)
        << c.list << " / " << c.value;
  }
}

TEST(PropsList, ValueListElements) {
  using V = std::vector<std::string>;
  struct Case {
    const char *list;
    V expected;
  } cases[] = {
      {"a , b", {"a", "", "b"}},
      {"a, b", {"a", "b"}},
      {"a,b", {"a", "b"}},
      {"a  b", {"a", "b"}},
      {"a,,b", {"a", "", "b"}},
      {" ,, a,", {"a"}},
      {"a\\ b\\,c d", {"a b,c", "d"}},
      {"tail\\", {"tail"}},
      {"x\\", {"x"}},
      {"\\", {""}},
      {"", {}},
      {" , ", {}},
      {"\\n\\tz", {"\n\tz"}},
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "l", c.list, nullptr);
    uint32_t status = 99;
    EXPECT_EQ(ValueList(set.get(), "l", &status), c.expected) << c.list;
    EXPECT_EQ(status, 0u);
  }
}

TEST(PropsList, ValueListGrowsPastItsFirstCapacity) {
  SetPtr set = propstest::NewSet();
  std::string list;
  for (int i = 0; i < 1000; ++i) list += std::to_string(i) + ",";
  SetProperty(set.get(), "l", list.c_str(), nullptr);
  std::vector<std::string> items = ValueList(set.get(), "l");
  ASSERT_EQ(items.size(), 1000u);
  EXPECT_EQ(items[999], "999");
}

TEST(PropsList, ValueListNullArgumentsLeaveOutputsUntouched) {
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), "l", "a", nullptr);
  uint32_t count = 7, status = 9;
  EXPECT_EQ(GetValueList(set.get(), "l", &count, nullptr), nullptr);
  EXPECT_EQ(GetValueList(set.get(), nullptr, &count, &status), nullptr);
  EXPECT_EQ(GetValueList(nullptr, "l", &count, &status), nullptr);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(status, 9u);
  EXPECT_EQ(GetValueList(set.get(), "l", nullptr, &status), nullptr);
  EXPECT_EQ(GetValueList(set.get(), "absent", &count, &status), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(status, 0u);
}

}  // namespace
