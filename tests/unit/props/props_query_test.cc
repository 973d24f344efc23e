// Scalar queries: text, booleans, integers, time spans, the shared numeric
// cache, run-time properties and iteration.
#include <gtest/gtest.h>

#include <set>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

TEST(PropsQuery, BooleansAcceptTheDocumentedWordsOnly) {
  struct Case {
    const char *value;
    uint32_t with_default_0, with_default_1;
  } cases[] = {
      {"Yes", 1, 1}, {"Y", 1, 1}, {"TRUE", 1, 1}, {"true", 1, 1}, {"1", 1, 1},  {"0", 0, 0},
      {"No", 0, 0},  {"N", 0, 0}, {"fAlSe", 0, 0}, {"2", 0, 1},   {"on", 0, 1}, {"", 0, 1},
      {" yes ", 1, 1}, {"yess", 0, 1}, {"01", 0, 1},
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "b", c.value, nullptr);
    uint32_t status = 99;
    EXPECT_EQ(GetPropertyBool(set.get(), "b", 0, &status), c.with_default_0) << c.value;
    EXPECT_EQ(GetPropertyBool(set.get(), "b", 1, &status), c.with_default_1) << c.value;  // cached
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(GetPropertyBool(nullptr, "b", 7, nullptr), 7u);
}

TEST(PropsQuery, IntegersInThreeBases) {
  struct Case {
    const char *value;
    int32_t expected;
  } cases[] = {
      {"0x10", 16}, {"010", 8},   {"12abc", 12},        {"abc", -1},          {"99999999999", -1},
      {"-42", -42}, {" +7", 7},   {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"2147483648", -1},
      {"0", 0},     {"0x", 0},    {"", -1},
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "i", c.value, nullptr);
    EXPECT_EQ(GetPropertyInt(set.get(), "i", -1, nullptr), c.expected) << c.value;
    EXPECT_EQ(GetPropertyInt(set.get(), "i", -1, nullptr), c.expected) << c.value << " (cached)";
  }
  EXPECT_EQ(GetPropertyInt(nullptr, "i", 5, nullptr), 5);
}

TEST(PropsQuery, TimeSpansWithEveryUnit) {
  struct Case {
    const char *value;
    char unit;
    uint32_t amount;
    uint32_t expected;
  } cases[] = {
      {"5m", 's', 9, 300},        {"2", 's', 9, 2},          {"1d", 's', 9, 86400},
      {"7s", 'm', 9, 7},          {"3h", 's', 9, 10800},     {"2w", 's', 9, 1209600},
      {"1M", 's', 9, 2628000},    {"1y", 's', 9, 31536000},  {"4", 'h', 9, 14400},
      {"30sec", 's', 9, 30},      {"10 m", 's', 9, 9},       {"10x", 's', 9, 9},
      {"-5", 's', 9, 9},          {"m", 's', 9, 9},          {"", 's', 9, 9},
      {"0", 's', 9, 0},           {"10 m", 'm', 5, 300},     {"136y", 's', 0, 4288896000u},
      {"9999999w", 's', 7, 7},    {"137y", 'h', 1, 3600},    {"99999999999", 's', 3, 3},
      {"5", 'x', 9, 0},           {"5Y", 's', 1, 1},
  };
  for (const auto &c : cases) {
    SetPtr set = propstest::NewSet();
    SetProperty(set.get(), "t", c.value, nullptr);
    uint32_t status = 99;
    EXPECT_EQ(GetPropertyTime(set.get(), "t", c.unit, c.amount, &status), c.expected) << c.value;
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(GetPropertyTime(nullptr, "absent", 'm', 5, nullptr), 300u);
  EXPECT_EQ(GetPropertyTime(propstest::NewSet().get(), "absent", 'd', 2, nullptr), 172800u);
}

TEST(PropsQuery, TimeFactorsAreCaseSensitive) {
  const std::pair<char, uint32_t> factors[] = {{'s', 1},      {'m', 60},       {'h', 3600},     {'d', 86400},
                                               {'w', 604800}, {'M', 2628000},  {'y', 31536000}, {'S', 0},
                                               {'H', 0},      {'\0', 0},       {'x', 0}};
  for (auto [unit, seconds] : factors) EXPECT_EQ(TimePropertyFactor(unit), seconds) << unit;
}

TEST(PropsQuery, IntAndTimeShareOneNumericCache) {
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), "a", "5m", nullptr);
  SetProperty(set.get(), "b", "5m", nullptr);
  SetProperty(set.get(), "c", "abc", nullptr);
  EXPECT_EQ(GetPropertyInt(set.get(), "a", 0, nullptr), 5);
  EXPECT_EQ(GetPropertyTime(set.get(), "a", 's', 1, nullptr), 5u);  // not 300
  EXPECT_EQ(GetPropertyTime(set.get(), "b", 's', 1, nullptr), 300u);
  EXPECT_EQ(GetPropertyInt(set.get(), "b", 0, nullptr), 300);
  EXPECT_EQ(GetPropertyTime(set.get(), "c", 's', 4, nullptr), 4u);
  EXPECT_EQ(GetPropertyInt(set.get(), "c", 11, nullptr), 11);  // invalid stays invalid
  Property *c = MatchKey(set.get(), "c");
  EXPECT_EQ(c->flags & (PROP_F_NUM_PARSED | PROP_F_NUM_VALID), PROP_F_NUM_PARSED);
}

TEST(PropsQuery, GetPropertyReturnsProcessedValueOrDefault) {
  vxtest::TempDir dir;
  SetPtr set = propstest::LoadText(dir, "a = 1\na = 2\nspace =   padded  \n");
  ASSERT_NE(set, nullptr);
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "a", "d", &status), "2");
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "space", "d", &status), "padded");
  EXPECT_STREQ(GetProperty(set.get(), "A", "d", &status), "d");  // case-sensitive
  EXPECT_EQ(GetProperty(set.get(), "absent", nullptr, &status), nullptr);
  EXPECT_STREQ(GetProperty(set.get(), nullptr, "d", &status), "d");
  EXPECT_STREQ(GetProperty(nullptr, "a", "d", nullptr), "d");
  EXPECT_STREQ(MatchKey(set.get(), "a")->next->value, " 1");  // both records stay
}

TEST(PropsQuery, SetPropertyShadowsEarlierDefinitions) {
  vxtest::TempDir dir;
  SetPtr set = propstest::LoadText(dir, "n=1\n");
  EXPECT_EQ(GetPropertyInt(set.get(), "n", 0, nullptr), 1);
  uint32_t status = 99;
  SetProperty(set.get(), "n", "0x20", &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(GetPropertyInt(set.get(), "n", 0, nullptr), 32);
  EXPECT_STREQ(GetProperty(set.get(), "n", nullptr, nullptr), "0x20");
  EXPECT_EQ(propstest::ListPairs(set.get()).size(), 2u);
  SetProperty(set.get(), nullptr, "x", &status);
  SetProperty(set.get(), "x", nullptr, &status);
  SetProperty(nullptr, "x", "y", &status);
  EXPECT_EQ(propstest::ListPairs(set.get()).size(), 2u);
}

TEST(PropsQuery, IteratorVisitsMatchingKeysNewestFirst) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"log.a", "1"}, {"lrpc.x", "2"}, {"log.b", "3"}, {"log.a", "4"}, {"log", "5"}});
  struct Case {
    const char *prefix;
    std::vector<std::string> keys;
  } cases[] = {
      {"log.", {"log.a", "log.b", "log.a"}},
      {nullptr, {"log", "log.a", "log.b", "lrpc.x", "log.a"}},
      {"", {"log", "log.a", "log.b", "lrpc.x", "log.a"}},
      {"none", {}},
  };
  for (const auto &c : cases) {
    uint32_t status = 99;
    PropertyIter *it = PropertyIterator(set.get(), c.prefix, &status);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(status, 0u);
    std::vector<std::string> keys;
    while (const char *k = PropertyNext(it)) keys.push_back(k);
    EXPECT_EQ(keys, c.keys) << (c.prefix ? c.prefix : "(null)");
    EXPECT_EQ(PropertyNext(it), nullptr);
    FreePropertyIterator(it);
  }
  uint32_t status = 99;
  EXPECT_EQ(PropertyIterator(nullptr, "x", &status), nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(PropertyNext(nullptr), nullptr);
  FreePropertyIterator(nullptr);
}

}  // namespace
