#include "client_common/cleanup_list.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <vector>

namespace {

std::vector<intptr_t> released;

void Record(void *object) { released.push_back(reinterpret_cast<intptr_t>(object)); }

// Objects are released newest first: a 51st entry starts a second block,
// released first. A chain far longer than a recursive release could take
// on a small stack is released too.
TEST(CleanupList, ReleasesNewestFirstInBoundedStack) {
  CleanupList *list = NewCleanupList();
  ASSERT_NE(list, nullptr);
  for (intptr_t i = 0; i < 51; i++) EXPECT_EQ(CleanupListAdd(list, Record, reinterpret_cast<void *>(i)), 1);
  EXPECT_TRUE(list->count == 50 && list->next != nullptr && list->next->count == 1);
  CleanupListRun(list);
  ASSERT_EQ(released.size(), 51u);
  for (intptr_t i = 0; i < 51; i++) EXPECT_EQ(released[static_cast<size_t>(i)], 50 - i);
  EXPECT_EQ(CleanupListAdd(nullptr, Record, nullptr), 0);
  CleanupListRun(nullptr);

  released.clear();
  constexpr int kBlocks = 20000;
  CleanupList *head = NewCleanupList(), *last = head;
  for (intptr_t i = 0; i < kBlocks; i++) {
    if (i > 0) last = last->next = NewCleanupList();
    CleanupListAdd(last, Record, reinterpret_cast<void *>(i));
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  auto run = [](void *chain) -> void * {
    CleanupListRun(static_cast<CleanupList *>(chain));
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, head), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(released.size(), static_cast<size_t>(kBlocks));
  EXPECT_TRUE(released.front() == kBlocks - 1 && released.back() == 0);
}

}  // namespace
