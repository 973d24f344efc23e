// Scalar queries: text, booleans, integers, time spans, the shared numeric
// cache, run-time properties and iteration.
#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

// A set holding the one property k = value.
SetPtr One(const char *value) {
  SetPtr set = propstest::NewSet();
  SetProperty(set.get(), "k", value, nullptr);
  return set;
}

TEST(PropsQuery, BooleansAcceptTheDocumentedWordsOnly) {
  // value, result with default 0, result with default 1
  const std::tuple<const char *, uint32_t, uint32_t> cases[] = {
      {"Yes", 1, 1}, {"Y", 1, 1},  {"TRUE", 1, 1}, {"1", 1, 1},     {" yes ", 1, 1}, {"0", 0, 0},    {"No", 0, 0},
      {"N", 0, 0},   {"fAlSe", 0, 0}, {"2", 0, 1}, {"on", 0, 1},    {"", 0, 1},      {"yess", 0, 1}, {"01", 0, 1}};
  for (const auto &[value, with0, with1] : cases) {
    SetPtr set = One(value);
    uint32_t status = 99;
    EXPECT_EQ(GetPropertyBool(set.get(), "k", 0, &status), with0) << value;
    EXPECT_EQ(GetPropertyBool(set.get(), "k", 1, &status), with1) << value << " (cached)";
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(GetPropertyBool(nullptr, "k", 7, nullptr), 7u);
}

TEST(PropsQuery, IntegersInThreeBases) {
  const std::pair<const char *, int32_t> cases[] = {
      {"0x10", 16},     {"010", 8},       {"12abc", 12},   {"abc", -1},   {"99999999999", -1},
      {"-42", -42},     {" +7", 7},       {"2147483647", INT32_MAX},      {"-2147483648", INT32_MIN},
      {"2147483648", -1}, {"0x", 0},      {"", -1}};
  for (auto [value, expected] : cases) {
    SetPtr set = One(value);
    EXPECT_EQ(GetPropertyInt(set.get(), "k", -1, nullptr), expected) << value;
    EXPECT_EQ(GetPropertyInt(set.get(), "k", -1, nullptr), expected) << value << " (cached)";
  }
  EXPECT_EQ(GetPropertyInt(nullptr, "k", 5, nullptr), 5);
}

TEST(PropsQuery, TimeSpansWithEveryUnit) {
  // value, default unit, default amount, seconds
  const std::tuple<const char *, char, uint32_t, uint32_t> cases[] = {
      {"5m", 's', 9, 300},      {"2", 's', 9, 2},          {"1d", 's', 9, 86400},   {"7s", 'm', 9, 7},
      {"3h", 's', 9, 10800},    {"2w", 's', 9, 1209600},   {"1M", 's', 9, 2628000}, {"1y", 's', 9, 31536000},
      {"4", 'h', 9, 14400},     {"30sec", 's', 9, 30},     {"10 m", 's', 9, 9},     {"10x", 's', 9, 9},
      {"-5", 's', 9, 9},        {"m", 's', 9, 9},          {"", 's', 9, 9},         {"0", 's', 9, 0},
      {"10 m", 'm', 5, 300},    {"5Y", 's', 1, 1},         {"5S", 's', 1, 1},       {"5", 'x', 9, 0},
      {"136y", 's', 0, 4288896000u}, {"137y", 'h', 1, 3600}, {"9999999w", 's', 7, 7}, {"99999999999", 's', 3, 3}};
  for (const auto &[value, unit, amount, expected] : cases) {
    SetPtr set = One(value);
    uint32_t status = 99;
    EXPECT_EQ(GetPropertyTime(set.get(), "k", unit, amount, &status), expected) << value;
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(GetPropertyTime(nullptr, "absent", 'm', 5, nullptr), 300u);
  EXPECT_EQ(GetPropertyTime(One("x").get(), "absent", 'd', 2, nullptr), 172800u);
}

TEST(PropsQuery, IntAndTimeShareOneNumericCache) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"a", "5m"}, {"b", "5m"}, {"c", "abc"}});
  EXPECT_EQ(GetPropertyInt(set.get(), "a", 0, nullptr), 5);
  EXPECT_EQ(GetPropertyTime(set.get(), "a", 's', 1, nullptr), 5u);  // not 300
  EXPECT_EQ(GetPropertyTime(set.get(), "b", 's', 1, nullptr), 300u);
  EXPECT_EQ(GetPropertyInt(set.get(), "b", 0, nullptr), 300);
  EXPECT_EQ(GetPropertyTime(set.get(), "c", 's', 4, nullptr), 4u);
  EXPECT_EQ(GetPropertyInt(set.get(), "c", 11, nullptr), 11);  // invalid stays invalid
  EXPECT_EQ(MatchKey(set.get(), "c")->flags & (PROP_F_NUM_PARSED | PROP_F_NUM_VALID), PROP_F_NUM_PARSED);
}

TEST(PropsQuery, LastDefinitionWinsAndSetPropertyShadowsIt) {
  vxtest::TempDir dir;
  SetPtr set = propstest::LoadText(dir, "a = 1\na = 2\nspace =   padded  \n");
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "a", "d", &status), "2");
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "space", "d", &status), "padded");
  EXPECT_STREQ(GetProperty(set.get(), "A", "d", &status), "d");  // case-sensitive
  EXPECT_STREQ(GetProperty(set.get(), nullptr, "d", &status), "d");
  EXPECT_STREQ(GetProperty(nullptr, "a", "d", nullptr), "d");
  EXPECT_EQ(GetPropertyInt(set.get(), "a", 0, nullptr), 2);
  SetProperty(set.get(), "a", "0x20", nullptr);
  SetProperty(set.get(), nullptr, "x", nullptr);
  SetProperty(set.get(), "x", nullptr, nullptr);
  EXPECT_EQ(GetPropertyInt(set.get(), "a", 0, nullptr), 32);
  EXPECT_EQ(propstest::ListPairs(set.get()),
            (propstest::Pairs{{"a", "0x20"}, {"space", "   padded  "}, {"a", " 2"}, {"a", " 1"}}));
}

TEST(PropsQuery, IteratorVisitsMatchingKeysNewestFirst) {
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"log.a", "1"}, {"lrpc.x", "2"}, {"log.b", "3"}, {"log.a", "4"}, {"log", "5"}});
  using Keys = std::vector<std::string>;
  const Keys all = {"log", "log.a", "log.b", "lrpc.x", "log.a"};
  const std::pair<const char *, Keys> cases[] = {
      {"log.", {"log.a", "log.b", "log.a"}}, {nullptr, all}, {"", all}, {"none", {}}};
  for (const auto &[prefix, expected] : cases) {
    PropertyIter *it = PropertyIterator(set.get(), prefix, nullptr);
    Keys keys;
    while (const char *k = PropertyNext(it)) keys.push_back(k);
    EXPECT_EQ(keys, expected) << (prefix ? prefix : "(null)");
    EXPECT_EQ(PropertyNext(it), nullptr);
    FreePropertyIterator(it);
  }
  uint32_t status = 99;
  EXPECT_EQ(PropertyIterator(nullptr, "x", &status), nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(PropertyNext(nullptr), nullptr);
}

}  // namespace
