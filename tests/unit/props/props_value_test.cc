// Value processing: trimming, escapes, variables, self references and
// include files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "props_test_util.h"
#include "support/child_run.h"
#include "support/sanitizer.h"
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
}

// p0 -> p1 -> ... -> p(n-1) -> p(back), or -> END for back < 0, queried in
// the order given (-1: through an include reference "file:/$p0").
struct Links {
  int n, back;
  std::vector<int> queries;
};

// A query follows the references until a property with a value, one in
// progress (the reference stays literal) or END; every property on the way
// gets that value. "" stands for no value.
std::vector<std::string> Model(const Links &l) {
  std::vector<std::string> value(static_cast<size_t>(l.n));
  for (int q : l.queries) {
    std::vector<size_t> path;
    std::vector<bool> in_progress(value.size());
    std::string v = "END";
    for (int i = q < 0 ? 0 : q; i >= 0; i = i + 1 < l.n ? i + 1 : l.back) {
      const size_t k = static_cast<size_t>(i);
      if (!value[k].empty() || in_progress[k]) {
        v = in_progress[k] ? "$p" + std::to_string(i) : value[k];
        break;
      }
      in_progress[k] = true;
      path.push_back(k);
    }
    for (size_t k : path) value[k] = v;
  }
  return value;
}

// Results and cached values follow the in-progress rule whatever the
// length of the chain or cycle and the order of queries.
TEST(PropsValue, ChainsAndCyclesOfAnyLengthFollowTheInProgressRule) {
  const Links cases[] = {
      {258, 1, {0}},          {258, 1, {129, 0}},  {300, 1, {0}},      {400, 1, {0}},
      {520, 1, {0}},          {600, 1, {0}},       {600, 1, {300, 0}}, {600, 0, {0}},
      {600, 599, {0}},        {601, -1, {300, 0}}, {70001, -1, {0}},   {70001, -1, {-1, 35000, 0}},
      {70001, 1, {35000, 0}},
  };
  for (const Links &l : cases) {
    SCOPED_TRACE(testing::Message() << l.n << " links back to " << l.back << ", first query "
                                    << l.queries[0]);
    SetPtr set = NewSet();
    for (int i = 0; i < l.n; ++i) {
      const int next = i + 1 < l.n ? i + 1 : l.back;
      SetProperty(set.get(), ("p" + std::to_string(i)).c_str(),
                  next < 0 ? "END" : ("$p" + std::to_string(next)).c_str(), nullptr);
    }
    SetProperty(set.get(), "list", "file:/$p0", nullptr);
    const std::vector<std::string> model = Model(l);
    for (int q : l.queries) {
      uint32_t status = 99;
      if (q < 0) {  // the include reference expands to file:/END, which does not exist
        EXPECT_EQ(IsStringInPropertyList(set.get(), "list", "x", nullptr, &status), 0);
        EXPECT_EQ(status, static_cast<uint32_t>(PROPS_ERR_NOENT));
        EXPECT_STREQ(MatchKey(set.get(), "list")->include_name, "file:/END");
        continue;
      }
      EXPECT_EQ(GetProperty(set.get(), ("p" + std::to_string(q)).c_str(), nullptr, &status),
                model[static_cast<size_t>(q)]);
      EXPECT_EQ(status, 0u);
    }
    int wrong = 0;
    for (const Property *p = set->head; p != nullptr; p = p->next) {
      if (p->key[0] != 'p') continue;
      const std::string &expected = model[std::stoul(p->key + 1)];
      if ((p->processed != nullptr ? p->processed : "") != expected && wrong++ == 0)
        ADD_FAILURE() << p->key << " caches " << (p->processed ? p->processed : "nothing") << ", not "
                      << expected;
    }
    EXPECT_EQ(wrong, 0);
  }
}

// kI: $k(I-1) $k(I-1), each line doubling the one before, from k0: base.
propstest::Pairs Doubling(int lines, const std::string &base) {
  propstest::Pairs pairs{{"k0", base}};
  for (int i = 1; i < lines; ++i) {
    const std::string before = "$k" + std::to_string(i - 1);
    pairs.emplace_back("k" + std::to_string(i), before + " " + before);
  }
  return pairs;
}

// r: $e$e... (n references), or with `distinct`, r: $e0 $e1 ... of n
// properties ei: x, followed by kTail bytes of text (so that a walk which
// rescanned the rest of its text at each reference would never end).
constexpr size_t kTail = 4u << 20;
propstest::Pairs References(size_t n, bool distinct = false) {
  propstest::Pairs pairs{{"e", ""}};
  std::string refs;
  for (size_t i = 0; i < n; ++i) {
    if (distinct) pairs.emplace_back("e" + std::to_string(i), "x");
    refs += distinct ? "$e" + std::to_string(i) + " " : "$e";
  }
  pairs.emplace_back("r", distinct ? refs + std::string(kTail, 'y') : refs);
  return pairs;
}

// A memory figure of /proc/self/status in KiB: VmRSS resident now, VmHWM
// the peak since the last reset.
long StatusKiB(const std::string &field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// A query past its budget fails with 300, in bounded time and memory,
// keeps nothing it computed and leaves the set usable.
TEST(PropsValue, QueryBeyondTheExpansionBudgetFailsAndKeepsNothing) {
  using vxtest::kSanitized;
  struct Case {
    const char *what;
    propstest::Pairs pairs;
    const char *key;
    uint32_t status;
    size_t length;
  };
  const Case cases[] = {
      {"300-line doubling chain", Doubling(300, "x"), "k299", PROPS_ERR_NOMEM, 0},
      {"24-line doubling chain", Doubling(24, std::string(64, 'x')), "k23", PROPS_ERR_NOMEM, 0},
      {"doubling chain within the budget", Doubling(20, "x"), "k19", 0, (1u << 20) - 1},
      {"references at the limit", References(PROPS_MAX_REFERENCES), "r", 0, 0},
      {"references past the limit", References(PROPS_MAX_REFERENCES + 1), "r", PROPS_ERR_NOMEM, 0},
      {"references to as many properties", References(100000, true), "r", 0, 2 * 100000 + kTail},
  };
  for (const Case &c : cases) {
    SetPtr set = NewSet(c.pairs);
    SetProperty(set.get(), "other", "$k0 fine", nullptr);
    vxtest::ChildResult run = vxtest::RunInChild([&] {
      if (!kSanitized) {  // an unbounded expansion fails early instead of exhausting the machine
        const rlimit limit{1ul << 30, 1ul << 30};
        setrlimit(RLIMIT_AS, &limit);
      }
      std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
      const long before = StatusKiB("VmRSS");
      alarm(kSanitized ? 120 : 30);
      const auto start = std::chrono::steady_clock::now();
      uint32_t status = 99, again = 99, other = 99;
      const char *value = GetProperty(set.get(), c.key, "dflt", &status);
      const long ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
              .count();
      const long peak = StatusKiB("VmHWM") - before;  // what the query added
      size_t length = status == 0 ? strlen(value) : 0;
      int cached = 0;
      for (const Property *p = set->head; p != nullptr; p = p->next) cached += p->processed != nullptr;
      const char *later = GetProperty(set.get(), "other", nullptr, &other);
      GetProperty(set.get(), c.key, "dflt", &again);
      printf("%u %zu %d %u %u %ld %ld %s", status, length, cached, other, again, ms, peak,
             later ? later : "-");
      return 0;
    });
    unsigned status = 0, other = 0, again = 0;
    size_t length = 0;
    int cached = -1;
    long ms = -1, peak = -1;
    char later[128] = "";
    ASSERT_EQ(sscanf(run.out.c_str(), "%u %zu %d %u %u %ld %ld %127[^\n]", &status, &length, &cached, &other,
                     &again, &ms, &peak, later),
              8)
        << c.what << ": " << run.out << run.err;
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_EQ(length, c.length) << c.what;
    if (c.status != 0) {
      EXPECT_EQ(cached, 0) << c.what << ": the failed query kept values";
    }
    EXPECT_EQ(again, c.status) << c.what;
    EXPECT_EQ(later, (c.key[0] == 'k' ? c.pairs[0].second : "$k0") + " fine") << c.what;
    EXPECT_EQ(other, 0u) << c.what;
    EXPECT_LT(ms, kSanitized ? 10000 : 1000) << c.what;
    if (!kSanitized) {
      EXPECT_LT(peak, 100 << 10) << c.what << ": peak resident KiB";
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
