// Linked with --wrap=realloc and --wrap=free: the buffer's allocations pass
// through the hooks below, which can fail the Nth one or copy a block's
// bytes just before it is freed.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "util/growbuf.h"

extern "C" void *__real_realloc(void *p, size_t n);
extern "C" void __real_free(void *p);

namespace {

int g_fail_countdown = 0;  // fail the realloc that brings this to 0; 0 = never
const void *g_watched = nullptr;
size_t g_watched_len = 0;
std::vector<char> g_seen_at_free;

}  // namespace

extern "C" void *__wrap_realloc(void *p, size_t n) {
  if (g_fail_countdown > 0 && --g_fail_countdown == 0) return nullptr;
  return __real_realloc(p, n);
}

extern "C" void __wrap_free(void *p) {
  if (p != nullptr && p == g_watched) {
    const char *bytes = static_cast<const char *>(p);
    g_seen_at_free.assign(bytes, bytes + g_watched_len);
    g_watched = nullptr;
  }
  __real_free(p);
}

namespace {

// Bytes of the buffer's block as they were when GrowBufFree freed it.
std::string BytesAtFree(GrowBuffer *b, int wipe) {
  g_seen_at_free.clear();
  g_watched = b->start;
  g_watched_len = GrowBufSize(b);
  GrowBufFree(b, wipe);
  g_watched = nullptr;
  return std::string(g_seen_at_free.begin(), g_seen_at_free.end());
}

TEST(GrowBufWipe, FreeWithWipeZeroesTheWrittenBytes) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  GrowBufPuts(&b, "secret!");
  EXPECT_EQ(BytesAtFree(&b, 1), std::string(7, '\0'));
  EXPECT_EQ(b.start, nullptr);

  GrowBufPuts(&b, "secret!");
  EXPECT_EQ(BytesAtFree(&b, 0), "secret!") << "without wipe the bytes are left as they were";
}

// One append step of the scenario below.
using Step = GrowBuffer *(*)(GrowBuffer *);

GrowBuffer *PutSmall(GrowBuffer *b) { return GrowBufPuts(b, "abc"); }
GrowBuffer *PutLarge(GrowBuffer *b) { return GrowBufPutmem(b, 600, std::string(600, 'L').data()); }
GrowBuffer *PutByte(GrowBuffer *b) { return GrowBufPutc(b, 'c'); }

// Fails each allocation in turn: the failing append returns null and leaves
// the buffer exactly as it was; the buffer stays usable and frees cleanly.
TEST(GrowBufAllocFailure, AFailedAllocationLeavesTheBufferUnchanged) {
  const std::vector<Step> steps = {PutSmall, PutLarge, PutByte, PutByte, PutLarge, PutByte};
  for (int n = 1;; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    GrowBuffer b;
    NewGrowBuffer(&b, 4);
    bool failed = false;
    g_fail_countdown = n;
    for (Step step : steps) {
      const GrowBuffer before = b;
      const std::string content(b.start != nullptr ? b.start : "", GrowBufSize(&b));
      if (step(&b) != nullptr) continue;
      failed = true;
      EXPECT_EQ(b.start, before.start);
      EXPECT_EQ(b.cur, before.cur);
      EXPECT_EQ(b.end, before.end);
      EXPECT_EQ(b.size, before.size);
      EXPECT_EQ(std::string(b.start != nullptr ? b.start : "", GrowBufSize(&b)), content);
      break;
    }
    g_fail_countdown = 0;
    if (failed) {
      EXPECT_EQ(GrowBufPutc(&b, 'x'), &b) << "usable after a failure";
    }
    GrowBufFree(&b, 0);
    if (!failed) break;  // every allocation of the scenario has been failed once
  }
}

TEST(GrowBufAllocFailure, ReleaseHandsOverTheUnshrunkBlockWhenShrinkingFails) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  GrowBufPuts(&b, "kept");
  GrowBufPutc(&b, '\0');
  g_fail_countdown = 1;
  char *s = GrowBufRelease(&b);
  g_fail_countdown = 0;
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "kept");
  EXPECT_EQ(b.start, nullptr);
  EXPECT_EQ(b.size, 512u);
  free(s);
}

}  // namespace
