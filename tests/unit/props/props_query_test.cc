// Queries: text, booleans, integers, time spans, the shared numeric cache,
// iteration and list-valued properties.
#include <gtest/gtest.h>
#include <string.h>

#include "props_test_util.h"
#include "support/fault.h"

namespace {

using propstest::NewSet;
using propstest::SetPtr;

// A set holding the one property k = value.
SetPtr One(const std::string &value) { return NewSet({{"k", value}}); }

// Each value is read as a boolean (default 0, then default 1 from its
// cache) and as an integer (default -1, twice: the second from its cache).
TEST(PropsQuery, BooleansTakeTheDocumentedWordsAndIntegersThreeBases) {
  // value, boolean with default 0, with default 1, integer
  const std::tuple<const char *, uint32_t, uint32_t, int32_t> cases[] = {
      {"Yes", 1, 1, -1},  {"Y", 1, 1, -1},     {"TRUE", 1, 1, -1},  {"99999999999", 0, 1, -1},
      {"1", 1, 1, 1},     {" yes ", 1, 1, -1}, {"0", 0, 0, 0},      {"2147483648", 0, 1, -1},
      {"No", 0, 0, -1},   {"N", 0, 0, -1},     {"fAlSe", 0, 0, -1}, {"2147483647", 0, 1, INT32_MAX},
      {"2", 0, 1, 2},     {"on", 0, 1, -1},    {"", 0, 1, -1},      {"-2147483648", 0, 1, INT32_MIN},
      {"yess", 0, 1, -1}, {"01", 0, 1, 1},     {"0x10", 0, 1, 16},  {"010", 0, 1, 8},
      {"0x", 0, 1, 0},    {"12abc", 0, 1, 12}, {"abc", 0, 1, -1},   {"-42", 0, 1, -42},
      {" +7", 0, 1, 7},
  };
  for (const auto &[value, with0, with1, number] : cases) {
    SetPtr set = One(value);
    uint32_t status = 99;
    EXPECT_EQ(GetPropertyBool(set.get(), "k", 0, &status), with0) << value;
    EXPECT_EQ(GetPropertyBool(set.get(), "k", 1, &status), with1) << value << " (cached)";
    EXPECT_EQ(status, 0u);
    for (int round = 0; round < 2; ++round)
      EXPECT_EQ(GetPropertyInt(set.get(), "k", -1, nullptr), number) << value;
  }
  EXPECT_EQ(GetPropertyBool(nullptr, "k", 7, nullptr), 7u);
  EXPECT_EQ(GetPropertyInt(nullptr, "k", 5, nullptr), 5);
}

TEST(PropsQuery, TimeSpansWithEveryUnit) {
  // value, default unit, default amount, seconds; "9999999w" does not fit in 32 bits
  const std::tuple<const char *, char, uint32_t, uint32_t> cases[] = {
      {"5m", 's', 9, 300},     {"2", 's', 9, 2},         {"1d", 's', 9, 86400},
      {"7s", 'm', 9, 7},       {"3h", 's', 9, 10800},    {"2w", 's', 9, 1209600},
      {"1M", 's', 9, 2628000}, {"1y", 's', 9, 31536000}, {"4", 'h', 9, 14400},
      {"30sec", 's', 9, 30},   {"10 m", 's', 9, 9},      {"10x", 's', 9, 9},
      {"-5", 's', 9, 9},       {"m", 's', 9, 9},         {"", 's', 9, 9},
      {"0", 's', 9, 0},        {"10 m", 'm', 5, 300},    {"5Y", 's', 1, 1},
      {"5S", 's', 1, 1},       {"5", 'x', 9, 0},         {"136y", 's', 0, 4288896000u},
      {"137y", 'h', 1, 3600},  {"9999999w", 's', 7, 7},  {"99999999999", 's', 3, 3}};
  for (const auto &[value, unit, amount, expected] : cases) {
    uint32_t status = 99;
    EXPECT_EQ(GetPropertyTime(One(value).get(), "k", unit, amount, &status), expected) << value;
    EXPECT_EQ(status, 0u);
  }
  EXPECT_EQ(GetPropertyTime(nullptr, "absent", 'm', 5, nullptr), 300u);
  EXPECT_EQ(GetPropertyTime(One("x").get(), "absent", 'd', 2, nullptr), 172800u);
}

TEST(PropsQuery, IntAndTimeShareOneNumericCache) {
  SetPtr set = NewSet({{"a", "5m"}, {"b", "5m"}, {"c", "abc"}});
  EXPECT_EQ(GetPropertyInt(set.get(), "a", 0, nullptr), 5);
  EXPECT_EQ(GetPropertyTime(set.get(), "a", 's', 1, nullptr), 5u);  // not 300
  EXPECT_EQ(GetPropertyTime(set.get(), "b", 's', 1, nullptr), 300u);
  EXPECT_EQ(GetPropertyInt(set.get(), "b", 0, nullptr), 300);
  EXPECT_EQ(GetPropertyTime(set.get(), "c", 's', 4, nullptr), 4u);
  EXPECT_EQ(GetPropertyInt(set.get(), "c", 11, nullptr), 11);  // invalid stays invalid
  EXPECT_EQ(MatchKey(set.get(), "c")->flags & (PROP_F_NUM_PARSED | PROP_F_NUM_VALID), PROP_F_NUM_PARSED);
  SetProperty(set.get(), "a", "0x20", nullptr);  // the newer property is parsed afresh
  EXPECT_EQ(GetPropertyInt(set.get(), "a", 0, nullptr), 32);
}

// A bare number takes the default unit even when its factor is 0: the value
// is valid with product 0, and that is the number the shared cache keeps.
TEST(PropsQuery, BareNumberWithZeroFactorUnitCachesZero) {
  // value, default unit, default amount, seconds, then GetPropertyInt with default 99
  const std::tuple<const char *, char, uint32_t, uint32_t, int32_t> cases[] = {
      {"5", 'x', 9, 0, 0},   {"0", '?', 9, 0, 0},   {"12", '\0', 4, 0, 0}, {"5", 's', 9, 5, 5},
      {"5x", 's', 9, 9, 99}, {"5x", 'x', 9, 0, 99}, {"-5", 'x', 9, 0, 99}, {"3m", 'x', 9, 180, 180}};
  for (const auto &[value, unit, amount, seconds, number] : cases) {
    SetPtr set = One(value);
    EXPECT_EQ(GetPropertyTime(set.get(), "k", unit, amount, nullptr), seconds) << value << " " << unit;
    EXPECT_EQ(GetPropertyInt(set.get(), "k", 99, nullptr), number) << value << " " << unit;
  }
}

TEST(PropsQuery, TextLookupAndIteration) {
  SetPtr set = NewSet({{"log.a", "1"}, {"lrpc.x", "2"}, {"log.b", " padded "}, {"log.a", "4"}, {"log", "5"}});
  SetProperty(set.get(), nullptr, "x", nullptr);
  SetProperty(set.get(), "x", nullptr, nullptr);
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "log.a", "d", &status), "4");
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "log.b", "d", &status), "padded");
  EXPECT_STREQ(GetProperty(set.get(), "LOG", "d", &status), "d");  // case-sensitive
  EXPECT_STREQ(GetProperty(set.get(), nullptr, "d", &status), "d");
  EXPECT_STREQ(GetProperty(nullptr, "log", "d", nullptr), "d");
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
  char prefix[8] = "log.b";  // the prefix is read afresh at each step
  PropertyIter *it = PropertyIterator(set.get(), prefix, nullptr);
  EXPECT_STREQ(PropertyNext(it), "log.b");
  strcpy(prefix, "l");
  EXPECT_STREQ(PropertyNext(it), "lrpc.x");
  strcpy(prefix, "log.a.");
  EXPECT_EQ(PropertyNext(it), nullptr);
  FreePropertyIterator(it);
  EXPECT_EQ(PropertyIterator(nullptr, "x", &status), nullptr);
  EXPECT_EQ(status, 0u);
}

TEST(PropsList, StringMembershipAndIntegerRanges) {
  const std::tuple<const char *, const char *, int> strings[] = {
      {"a, b, c", "b", 1},   {"a b", "b", 1},       {"a, bc", "b", 0},
      {"a, bc", "bc", 1},    {"x\\ y z", "x y", 1}, {"x\\ y z", "x", 0},
      {"a\\,b,c", "a,b", 1}, {"a\\tb", "a\tb", 1},  {" lead", "lead", 1},
      {"", "x", 0},          {"end\\", "end", 1},   {"ab", "abc", 0},
      {"a,,b", "b", 1},      {"a", "", 0},          {"\\\"x\\ y\\\" z", "\"x y\"", 1}};
  for (const auto &[list, needle, expected] : strings) {
    EXPECT_EQ(IsStringInPropertyList(One(list).get(), "k", needle, nullptr, nullptr), expected)
        << list << " / " << needle;
  }
  // list, values in it, values not in it
  const std::tuple<const char *, std::vector<int32_t>, std::vector<int32_t>> ranges[] = {
      {"1 5-9", {1}, {5, 7}}, {"1,5-9", {1, 5, 7, 9}, {0, 2, 4, 10}},
      {"9-5", {}, {5, 7, 9}}, {"1, 5-9, 12 - 14", {13, 14}, {10, 15}},
      {"x, 4", {4}, {}},      {"-3--1", {-3, -2, -1}, {-4, 0}},
      {"x4", {}, {4}},        {"99999999999, 5", {5}, {}},
      {",,4", {4}, {}},       {"2147483647", {INT32_MAX}, {}},
      {"4-", {4}, {}},        {"", {}, {0}},
  };
  for (const auto &[list, in, out] : ranges) {
    for (int32_t v : in)
      EXPECT_EQ(IsIntegerInPropertyList(One(list).get(), "k", v, nullptr, nullptr), 1) << list << " / " << v;
    for (int32_t v : out)
      EXPECT_EQ(IsIntegerInPropertyList(One(list).get(), "k", v, nullptr, nullptr), 0) << list << " / " << v;
  }
  SetPtr set = NewSet();  // an absent key uses the default list, which is not stored
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "b", "a,b", nullptr), 1);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "k", "b", nullptr, nullptr), 0);
  EXPECT_EQ(IsIntegerInPropertyList(set.get(), "k", 3, "1-5", nullptr), 1);
  EXPECT_EQ(IsIntegerInPropertyList(set.get(), "k", 3, nullptr, nullptr), 0);
  EXPECT_EQ(set->head, nullptr);
}

std::vector<std::string> ValueList(Properties *set, const char *key = "k") {
  uint32_t count = 12345, status = 99;
  char **items = GetValueList(set, key, &count, &status);
  EXPECT_EQ(status, 0u);
  std::vector<std::string> out;
  for (uint32_t i = 0; items != nullptr && items[i] != nullptr; ++i) out.push_back(items[i]), free(items[i]);
  EXPECT_EQ(count, out.size());
  free(items);
  return out;
}

TEST(PropsList, ValueListElements) {
  using V = std::vector<std::string>;
  const std::pair<const char *, V> cases[] = {
      {"\\", {""}},         {"", {}},
      {" , ", {}},          {"a , b", {"a", "", "b"}},
      {"a, b", {"a", "b"}}, {"a,b", {"a", "b"}},
      {"a  b", {"a", "b"}}, {"a,,b", {"a", "", "b"}},
      {" ,, a,", {"a"}},    {"a\\ b\\,c d", {"a b,c", "d"}},
      {"tail\\", {"tail"}}, {"\\n\\tz", {"\n\tz"}},
  };
  for (const auto &[list, expected] : cases) EXPECT_EQ(ValueList(One(list).get()), expected) << list;
  std::string many;
  for (int i = 0; i < 1000; ++i) many += std::to_string(i) + ",";
  V items = ValueList(One(many).get());  // grows past the first capacity
  ASSERT_EQ(items.size(), 1000u);
  EXPECT_EQ(items[999], "999");
  EXPECT_EQ(ValueList(One("a").get(), "absent"), V{});
  uint32_t count = 7, status = 9;  // null arguments leave the outputs untouched
  EXPECT_EQ(GetValueList(nullptr, "k", &count, &status), nullptr);
  EXPECT_EQ(GetValueList(One("a").get(), "k", nullptr, &status), nullptr);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(status, 9u);
}

// Exhausted memory anywhere, in the include step too (also when the step's
// stored status is reported again), gives count UINT32_MAX with 300; any
// other include failure count 0.
TEST(PropsList, ValueListCountIsAllBitsOnExhaustedMemory) {
  namespace fi = vxtest::fault;
  bool stored = false;
  for (long n = 1;; ++n) {
    SetPtr set = One("file:/$k.list");  // expands, then fails with 303
    uint32_t count[2], status[2];
    long failed = 0;
    for (int round = 0; round < 2; ++round) {
      if (round == 0) fi::Arm(fi::Call::kAlloc, n);
      char **items = GetValueList(set.get(), "k", &count[round], &status[round]);
      if (round == 0) failed = fi::Disarm().failed;
      EXPECT_EQ(items, nullptr);
    }
    for (int round = 0; round < 2; ++round)
      EXPECT_EQ(count[round], status[round] == PROPS_ERR_NOMEM ? UINT32_MAX : 0u) << n << " " << round;
    stored = stored || status[1] == PROPS_ERR_NOMEM;
    if (failed == 0) {
      EXPECT_EQ(status[0], uint32_t{PROPS_ERR_NOENT});
      break;
    }
  }
  EXPECT_TRUE(stored) << "no failure met the include step";
}

}  // namespace
