// Queries, value processing and loader calls over the table
// golden/calls.table; then iteration, long lists and exhausted memory.
#include <gtest/gtest.h>
#include <string.h>

#include "props_test_util.h"
#include "support/fault.h"
#include "support/table_file.h"

namespace {

using propstest::NewSet;
using propstest::SetPtr;
using vxtest::Row;
using vxtest::Text;
using Texts = std::vector<std::string>;

// A set holding k = value, or empty for a null value.
SetPtr One(const char *value) { return value != nullptr ? NewSet({{"k", value}}) : NewSet(); }
std::string N(long long n) { return std::to_string(n); }

// The set that the values of process and expand rows see.
const propstest::Pairs kValues = {
    {"b", "y"},    {"sp", "\\ "}, {"VXTEST_VAR", "from-props"},    {"a", "$a"},
    {"p", "1 $q"}, {"q", "2 $p"}, {"inc", "file:/nonexistent/$b"}, {"inc2", "file:/$inc"}};

// What the call a row of golden/calls.table names gives for its arguments.
Texts Call(const Row &r) {
  const std::string &call = r[0];
  SetPtr set = One(r.fields.size() > 1 ? r.c_str(1) : nullptr);
  uint32_t status = 99, length = 99;
  if (call == "number" && r.Args(1)) {
    Texts out{N(GetPropertyBool(set.get(), "k", 0, &status)), N(GetPropertyBool(set.get(), "k", 1, &status))};
    EXPECT_EQ(status, 0u);
    const int32_t number = GetPropertyInt(set.get(), "k", -1, nullptr);
    out.push_back(number == GetPropertyInt(set.get(), "k", -1, nullptr) ? N(number) : "uncached");
    return out;
  }
  if ((call == "time" || call == "timeint") && r.Args(3)) {
    Texts out{N(GetPropertyTime(set.get(), "k", r[2][0], static_cast<uint32_t>(r.Number(3)), &status))};
    EXPECT_EQ(status, 0u);
    if (call == "timeint") out.push_back(N(GetPropertyInt(set.get(), "k", 99, nullptr)));
    return out;
  }
  if (call == "inttime" && r.Args(1)) {
    const int32_t number = GetPropertyInt(set.get(), "k", 0, nullptr);
    return {N(number), N(GetPropertyTime(set.get(), "k", 's', 1, nullptr))};
  }
  // in, range: the list is the value of k; in-default, range-default: k is
  // absent and the list is the default.
  const bool as_default = call == "in-default" || call == "range-default";
  if ((call == "in" || call == "range" || as_default) && r.Args(2)) {
    if (as_default) set = NewSet();
    const char *dflt = as_default ? r.c_str(1) : nullptr;
    const int found = call[0] == 'r' ? IsIntegerInPropertyList(
                                           set.get(), "k", static_cast<int32_t>(r.Number(2)), dflt, nullptr)
                                     : IsStringInPropertyList(set.get(), "k", r.c_str(2), dflt, nullptr);
    EXPECT_EQ(set->head != nullptr, !as_default) << "a default list is not stored";
    return {N(found)};
  }
  if (call == "list" && r.Args(1)) {
    char **items = GetValueList(set.get(), "k", &length, &status);
    Texts out;
    for (uint32_t i = 0; items != nullptr && items[i] != nullptr; ++i)
      out.push_back(items[i]), free(items[i]);
    free(items);
    EXPECT_TRUE(status == 0 && length == out.size()) << status << " " << length;
    return out;
  }
  if (call == "expand" && r.Args(1)) {
    set = NewSet(kValues);
    const char *value = ExpandVariable(r.c_str(1), set.get(), &length, &status);
    return {Text(value), N(length), N(status)};
  }
  if (call == "process" && r.Args(1)) {
    char *out = ProcessRawValue1(r.c_str(1), NewSet(kValues).get(), &status);
    Texts result{Text(out), N(status)};
    free(out);
    return result;
  }
  if (call == "include" && r.Args(1)) return {N(IsIncludeFile(r.c_str(1)))};
  if (call == "errtext" && r.Args(1)) return {Text(CPropsErr2Str(static_cast<uint32_t>(r.Number(1))))};
  if (call == "escape" && r.Args(1)) return {std::string(1, static_cast<char>(ProcessEscape(r[1][0])))};
  if (call == "load" && r.Args(1)) {
    Texts out;
    for (int secure = 0; secure < 2; ++secure) {
      EXPECT_EQ(LoadPropertiesInternal(r.c_str(1), nullptr, &status, secure), nullptr);
      out.push_back(N(status));
    }
    return out;
  }
  ADD_FAILURE() << "unknown call " << call;
  return {};
}

TEST(PropsCalls, EveryRowOfTheTableGivesItsResults) {
  unsetenv("VXTEST_VAR");
  unsetenv("VXTEST_UNSET");
  vxtest::RunTable(PROPS_GOLDEN_DIR "/calls.table", Call);
}

// What the table cannot show: null sets and arguments, a long name, a
// property in progress, the environment before the set.
TEST(PropsCalls, NullArgumentsLongNamesAndTheEnvironmentFirst) {
  EXPECT_EQ(GetPropertyBool(nullptr, "k", 7, nullptr), 7u);
  EXPECT_EQ(GetPropertyInt(nullptr, "k", 5, nullptr), 5);
  EXPECT_EQ(GetPropertyTime(nullptr, "k", 'm', 5, nullptr), 300u);
  EXPECT_EQ(LoadProperties(nullptr, nullptr, nullptr), nullptr);
  uint32_t count = 7, status = 9;  // GetValueList leaves the outputs untouched
  EXPECT_EQ(GetValueList(nullptr, "k", &count, &status), nullptr);
  EXPECT_EQ(GetValueList(One("a").get(), "k", nullptr, &status), nullptr);
  EXPECT_TRUE(count == 7 && status == 9);
  char *out = ProcessRawValue1("$b", nullptr, nullptr);
  EXPECT_STREQ(out, "$b");
  free(out);
  const std::string name(PROPS_MAX_VARIABLE_NAME, 'N');  // longer names are cut at the limit
  SetPtr set = NewSet({{name, "v"}, {"b", "y"}});
  uint32_t length = 0;
  EXPECT_STREQ(ExpandVariable((name + "XY").c_str(), set.get(), &length, nullptr), "v");
  EXPECT_EQ(length, uint32_t{PROPS_MAX_VARIABLE_NAME});
  EXPECT_STREQ(ExpandVariable("b", set.get(), nullptr, nullptr), "y");
  MatchKey(set.get(), "b")->flags |= PROP_F_PROCESSING;
  EXPECT_EQ(ExpandVariable("b", set.get(), nullptr, nullptr), nullptr);
  setenv("VXTEST_VAR", "from-env", 1);
  SetProperty(set.get(), "VXTEST_VAR", "from-props", nullptr);
  SetProperty(set.get(), "greeting", "hello $VXTEST_VAR!", nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "greeting", nullptr, nullptr), "hello from-env!");
  unsetenv("VXTEST_VAR");
}

TEST(PropsQuery, TextLookupAndIteration) {
  SetPtr set = NewSet({{"log.a", "1"}, {"lrpc.x", "2"}, {"log.b", "3"}, {"log.a", "4"}, {"log", "5"}});
  SetProperty(set.get(), nullptr, "x", nullptr);
  SetProperty(set.get(), "x", nullptr, nullptr);
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "log.a", "d", &status), "4");  // the latest definition
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "LOG", "d", &status), "d");  // case-sensitive
  EXPECT_STREQ(GetProperty(set.get(), nullptr, "d", &status), "d");
  EXPECT_STREQ(GetProperty(nullptr, "log", "d", nullptr), "d");
  const Texts all = {"log", "log.a", "log.b", "lrpc.x", "log.a"};
  const std::pair<const char *, Texts> cases[] = {
      {"log.", {"log.a", "log.b", "log.a"}}, {nullptr, all}, {"", all}, {"none", {}}};
  for (const auto &[prefix, expected] : cases) {
    PropertyIter *it = PropertyIterator(set.get(), prefix, nullptr);
    Texts keys;
    while (const char *k = PropertyNext(it)) keys.push_back(k);
    EXPECT_EQ(keys, expected) << Text(prefix);
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
      EXPECT_EQ(GetValueList(set.get(), "k", &count[round], &status[round]), nullptr);
      if (round == 0) failed = fi::Disarm().failed;
      EXPECT_EQ(count[round], status[round] == PROPS_ERR_NOMEM ? UINT32_MAX : 0u) << n << " " << round;
    }
    stored = stored || status[1] == PROPS_ERR_NOMEM;
    if (failed == 0) {
      EXPECT_EQ(status[0], uint32_t{PROPS_ERR_NOENT});
      break;
    }
  }
  EXPECT_TRUE(stored) << "no failure met the include step";
}

}  // namespace
