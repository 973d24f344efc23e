// Exhausted memory: every allocation made by the library (malloc, calloc
// and realloc, wrapped at link time) fails in turn over scenarios that load,
// process and query a configuration. Each run must end without a crash and
// without a leak (blocks still live at its end), and every failure seen by
// a caller must be status 300.
#include <stdlib.h>

#include <unordered_set>

#include <gtest/gtest.h>

#include "props_test_util.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t size);
void __real_free(void *p);
}

namespace {

// Allocation number that fails (counting from 1); 0 disarms.
long fail_at = 0;
long allocations = 0;

// Blocks allocated while armed and not yet freed (the set itself allocates
// through operator new, which is not wrapped).
std::unordered_set<void *> live;

bool ShouldFail() { return fail_at != 0 && ++allocations == fail_at; }

void *Track(void *p) {
  if (p != nullptr && fail_at != 0) live.insert(p);
  return p;
}

}  // namespace

extern "C" {
void *__wrap_malloc(size_t size) { return ShouldFail() ? nullptr : Track(__real_malloc(size)); }
void *__wrap_calloc(size_t n, size_t size) { return ShouldFail() ? nullptr : Track(__real_calloc(n, size)); }
void *__wrap_realloc(void *p, size_t size) {
  if (ShouldFail()) return nullptr;
  void *q = __real_realloc(p, size);
  if (q != nullptr && live.erase(p) > 0) live.insert(q);
  else if (p == nullptr) Track(q);
  return q;
}
void __wrap_free(void *p) {
  live.erase(p);
  __real_free(p);
}
}

namespace {

using propstest::SetPtr;

bool StatusOk(uint32_t status) { return status == 0 || status == PROPS_ERR_NOMEM; }

// Runs the scenario with allocation n failing, for n = 1, 2, ... until it
// runs through without reaching allocation n.
template <typename Scenario>
void Sweep(Scenario scenario) {
  for (long n = 1;; ++n) {
    allocations = 0;
    live.clear();
    fail_at = n;
    scenario();
    bool reached = allocations >= n;
    fail_at = 0;
    EXPECT_TRUE(live.empty()) << live.size() << " blocks leaked when allocation " << n << " failed";
    if (!reached) break;
    ASSERT_LT(n, 100000) << "scenario does not end";
  }
}

TEST(PropsAlloc, LoadAndQueryUnderEveryFailingAllocation) {
  vxtest::TempDir dir;
  std::string list = dir.write("list", "alice\n  bob smith\n# c\n$HOME\n");
  std::string long_value(3000, 'v');
  std::string many;
  for (int i = 0; i < 70; ++i) many += "e" + std::to_string(i) + ",";  // the element array grows twice
  std::string path = dir.write("main.conf", "a = 1\nb: \"x  y\" \\\n  z\nl = " + many + "\nt=5m\nlong=" +
                                                long_value + "\ninc = file:" + list + "\nref = $a $b $nope\n");
  const char *const prefixes[] = {"a", "b", "i", "l", "r", "t", nullptr};
  Sweep([&] {
    uint32_t status = 0;
    SetPtr set(LoadPropertiesInternal(path.c_str(), fail_at % 2 ? prefixes : nullptr, &status, 1));
    EXPECT_TRUE(StatusOk(status)) << status;
    if (set == nullptr) return;
    for (const char *key : {"a", "b", "long", "inc", "ref"}) {
      GetProperty(set.get(), key, nullptr, &status);
      EXPECT_TRUE(StatusOk(status)) << key << " " << status;
    }
    GetPropertyTime(set.get(), "t", 's', 1, &status);
    IsStringInPropertyList(set.get(), "inc", "bob smith", nullptr, &status);
    EXPECT_TRUE(StatusOk(status)) << status;
    IsIntegerInPropertyList(set.get(), "absent", 3, ("file:" + list).c_str(), &status);
    EXPECT_TRUE(StatusOk(status)) << status;
    SetProperty(set.get(), "new", "value", &status);
    EXPECT_TRUE(StatusOk(status)) << status;
    for (const char *key : {"inc", "l"}) {
      uint32_t count = 0;
      char **items = GetValueList(set.get(), key, &count, &status);
      EXPECT_TRUE(StatusOk(status)) << status;
      EXPECT_EQ(items == nullptr, status != 0 || count == 0);
      if (count == UINT32_MAX) {
        EXPECT_EQ(status, PROPS_ERR_NOMEM);
      }
      for (uint32_t i = 0; items != nullptr && items[i] != nullptr; ++i) free(items[i]);
      free(items);
    }
    PropertyIter *it = PropertyIterator(set.get(), "a", &status);
    EXPECT_EQ(it == nullptr, status == PROPS_ERR_NOMEM);
    FreePropertyIterator(it);
  });
}

}  // namespace
