// List-valued properties: string membership, integer ranges, element lists.
#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

SetPtr One(const std::string &value) {
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), "l", value.c_str(), nullptr);
  return set;
}

std::vector<std::string> ValueList(Properties *set) {
  uint32_t count = 12345;
  uint32_t status = 99;
  char **items = GetValueList(set, "l", &count, &status);
  EXPECT_EQ(status, 0u);
  std::vector<std::string> out;
  for (uint32_t i = 0; items != nullptr && items[i] != nullptr; ++i) out.push_back(items[i]), free(items[i]);
  EXPECT_EQ(count, out.size());
  free(items);
  return out;
}

TEST(PropsList, StringMembership) {
  const std::tuple<const char *, const char *, int> cases[] = {
      {"a, b, c", "b", 1},  {"a b", "b", 1},          {"a, bc", "b", 0},      {"a, bc", "bc", 1},
      {"x\\ y z", "x y", 1}, {"x\\ y z", "x", 0},     {"a\\,b,c", "a,b", 1},  {"a\\tb", "a\tb", 1},
      {" lead", "lead", 1}, {"", "x", 0},             {"end\\", "end", 1},    {"ab", "abc", 0},
      {"a,,b", "b", 1},     {"a", "", 0},             {"\\\"x\\ y\\\" z", "\"x y\"", 1}};
  for (const auto &[list, needle, expected] : cases) {
    EXPECT_EQ(IsStringInPropertyList(One(list).get(), "l", needle, nullptr, nullptr), expected)
        << list << " / " << needle;
  }
  EXPECT_EQ(IsStringInPropertyList(One("a").get(), "l", nullptr, nullptr, nullptr), 0);
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
  const std::tuple<const char *, int32_t, int> cases[] = {
      {"1,5-9", 7, 1},   {"1 5-9", 7, 0},  {"1 5-9", 1, 1},  {"1, 5-9, 12 - 14", 13, 1}, {"1, 5-9, 12 - 14", 10, 0},
      {"-3--1", -2, 1},  {"-3--1", 0, 0},  {"9-5", 7, 0},    {"x, 4", 4, 1},             {"x4", 4, 0},
      {",,4", 4, 1},     {"4-", 4, 1},     {"", 0, 0},       {"99999999999, 5", 5, 1},   {"2147483647", INT32_MAX, 1}};
  for (const auto &[list, value, expected] : cases) {
    EXPECT_EQ(IsIntegerInPropertyList(One(list).get(), "l", value, nullptr, nullptr), expected) << list << " / " << value;
  }
}

TEST(PropsList, ValueListElements) {
  using V = std::vector<std::string>;
  const std::pair<const char *, V> cases[] = {
      {"a , b", {"a", "", "b"}}, {"a, b", {"a", "b"}},   {"a,b", {"a", "b"}},       {"a  b", {"a", "b"}},
      {"a,,b", {"a", "", "b"}},  {" ,, a,", {"a"}},      {"a\\ b\\,c d", {"a b,c", "d"}},
      {"tail\\", {"tail"}},      {"\\", {""}},           {"", {}},                  {" , ", {}},
      {"\\n\\tz", {"\n\tz"}}};
  for (const auto &[list, expected] : cases) EXPECT_EQ(ValueList(One(list).get()), expected) << list;
  std::string many;
  for (int i = 0; i < 1000; ++i) many += std::to_string(i) + ",";
  V items = ValueList(One(many).get());  // grows past the first capacity
  ASSERT_EQ(items.size(), 1000u);
  EXPECT_EQ(items[999], "999");
}

TEST(PropsList, ValueListNullArgumentsLeaveOutputsUntouched) {
  SetPtr set = One("a");
  uint32_t count = 7, status = 9;
  EXPECT_EQ(GetValueList(set.get(), "l", &count, nullptr), nullptr);
  EXPECT_EQ(GetValueList(set.get(), nullptr, &count, &status), nullptr);
  EXPECT_EQ(GetValueList(nullptr, "l", &count, &status), nullptr);
  EXPECT_EQ(GetValueList(set.get(), "l", nullptr, &status), nullptr);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(status, 9u);
  EXPECT_EQ(GetValueList(set.get(), "absent", &count, &status), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(status, 0u);
}

}  // namespace
