// Value processing: references in chains and cycles of any length, the
// expansion budget, include files. (Single values: golden/calls.table.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>

#include "props_test_util.h"
#include "support/child_run.h"
#include "support/sanitizer.h"
#include "support/secure_owner.h"

namespace {

using propstest::NewSet;
using propstest::SetPtr;

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
      {70001, 1, {35000, 0}}, {1, 0, {0}},         {2, 0, {1}},
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
    std::vector<std::string> cached(model.size());
    for (const Property *p = set->head; p != nullptr; p = p->next)
      if (p->key[0] == 'p' && p->processed != nullptr) cached[std::stoul(p->key + 1)] = p->processed;
    const auto wrong = std::mismatch(cached.begin(), cached.end(), model.begin());
    EXPECT_TRUE(wrong.first == cached.end())
        << "p" << wrong.first - cached.begin() << " caches " << *wrong.first << ", not " << *wrong.second;
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

// Milliseconds of processor time the process has used.
long CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A query past its budget fails with 300, in bounded time and memory,
// keeps nothing it computed and leaves the set usable. The child prints the
// status, the length of the value, the status of the query again, the
// status and value of another query, and what went wrong.
TEST(PropsValue, QueryBeyondTheExpansionBudgetFailsAndKeepsNothing) {
  using vxtest::kSanitized;
  const struct {
    propstest::Pairs pairs;
    const char *key;
    uint32_t status;
    size_t length;
  } cases[] = {
      {Doubling(300, "x"), "k299", PROPS_ERR_NOMEM, 0},
      {Doubling(24, std::string(64, 'x')), "k23", PROPS_ERR_NOMEM, 0},
      {Doubling(20, "x"), "k19", 0, (1u << 20) - 1},  // within the budget
      {References(PROPS_MAX_REFERENCES), "r", 0, 0},
      {References(PROPS_MAX_REFERENCES + 1), "r", PROPS_ERR_NOMEM, 0},
      {References(100000, true), "r", 0, 2 * 100000 + kTail},
  };
  for (const auto &c : cases) {
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
      // Processor time, not wall time: the bound holds on a loaded machine.
      const long start = CpuMs();
      uint32_t status = 99, again = 99, other = 99;
      const char *value = GetProperty(set.get(), c.key, "dflt", &status);
      const long ms = CpuMs() - start;
      const long peak = StatusKiB("VmHWM") - before;  // KiB the query added
      int cached = 0;
      for (const Property *p = set->head; p != nullptr; p = p->next) cached += p->processed != nullptr;
      const char *later = GetProperty(set.get(), "other", nullptr, &other);
      GetProperty(set.get(), c.key, "dflt", &again);
      printf("%u %zu %u %u %s", status, status == 0 ? strlen(value) : 0, again, other, later ? later : "-");
      if (status != 0 && cached > 0) printf(", %d values kept", cached);
      if (ms >= (kSanitized ? 10000 : 2000)) printf(", %ld ms", ms);
      if (!kSanitized && peak >= 100 << 10) printf(", peak %ld KiB", peak);
      return 0;
    });
    const std::string later = c.key[0] == 'k' ? c.pairs[0].second : "$k0";
    EXPECT_EQ(run.out, std::to_string(c.status) + " " + std::to_string(c.length) + " " +
                           std::to_string(c.status) + " 0 " + later + " fine")
        << c.key << " of " << c.pairs.size() << " properties " << run.err;
  }
}

// The lines of an include file, expanded, become one list with escaped
// separators; a default list that is an include reference is stored and
// read once.
TEST(PropsInclude, LinesBecomeOneEscapedListExpandedOnce) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  vxtest::TempDir dir;
  setenv("VXTEST_INCLUDED", "carol", 1);
  const std::string list =
      dir.write("users.list",
                "alice\n# comment\n   bob smith\n\n!x\n  \"q,1\"\\\n   more\n back\\\\slash\n"
                "$VXTEST_INCLUDED\n  \t\n$users\n\\$VXTEST_INCLUDED\n# no line end");
  const std::string main = dir.write("main.conf", "users: file:" + list + "\nother = $users\n");
  SetPtr set(LoadPropertiesWithoutSecurity(main.c_str(), nullptr, nullptr));
  ASSERT_NE(set, nullptr);
  const char *expected = "alice,bob smith,q,1 more,back\\slash,carol,$users,$VXTEST_INCLUDED";
  uint32_t status = 99;
  EXPECT_STREQ(GetProperty(set.get(), "users", nullptr, &status), expected);
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(GetProperty(set.get(), "other", nullptr, nullptr), expected);
  Property *p = MatchKey(set.get(), "users");
  EXPECT_STREQ(p->value, "alice,bob\\ smith,q\\,1\\ more,back\\\\slash,carol,\\$users,\\$VXTEST_INCLUDED");
  EXPECT_STREQ(p->include_name, ("file:" + list).c_str());
  for (const char *element : {"bob smith", "q,1 more", "back\\slash", "$VXTEST_INCLUDED"})
    EXPECT_EQ(IsStringInPropertyList(set.get(), "users", element, nullptr, &status), 1) << element;
  EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "bob", nullptr, &status), 0);
  const std::string dflt = "file:" + dir.write("d.list", "x\ny\n  ");
  EXPECT_EQ(IsStringInPropertyList(set.get(), "d", "y", dflt.c_str(), nullptr), 1);
  EXPECT_STREQ(MatchKey(set.get(), "d")->value, "x,y");
  ASSERT_EQ(unlink(dflt.c_str() + 5), 0);
  EXPECT_EQ(IsStringInPropertyList(set.get(), "d", "x", dflt.c_str(), nullptr), 1);  // read once
  unsetenv("VXTEST_INCLUDED");
}

}  // namespace
