#include "util/growbuf.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int kPutc = -1;  // a step that appends one byte with GrowBufPutc

uint32_t BlockSize(const GrowBuffer &b) { return static_cast<uint32_t>(b.end - b.start); }

std::string Contents(const GrowBuffer &b) { return std::string(GrowBufPeek(&b), GrowBufSize(&b)); }

struct GrowthCase {
  const char *name;
  uint32_t initial;
  std::vector<int> steps;        // kPutc, or a length for GrowBufPutmem
  std::vector<uint32_t> blocks;  // block size after each step
};

TEST(GrowBuf, BlockSizesFollowTheGrowthRule) {
  const GrowthCase cases[] = {
      {"size 0 means 512", 0, {kPutc}, {512}},
      {"size 1 gives a 2-byte first block", 1, {kPutc}, {2}},
      {"first putmem takes twice its length", 0, {1000}, {2000}},
      {"first putmem takes at least size", 0, {100}, {512}},
      {"length 0 still allocates", 0, {0}, {512}},
      {"putmem needs room strictly greater", 0, {kPutc, 510, 1}, {512, 512, 514}},
      {"putmem grows by twice its length", 0, {kPutc, 511}, {512, 1534}},
      {"putc stores in place while 2 bytes are free", 4, {kPutc, kPutc, kPutc}, {4, 4, 4}},
      {"putc grows a full block by 2", 4, {kPutc, kPutc, kPutc, kPutc, kPutc, kPutc}, {4, 4, 4, 6, 6, 8}},
      {"mixed", 8, {3, kPutc, kPutc, 2, 1}, {8, 8, 8, 8, 10}},
  };
  for (const GrowthCase &c : cases) {
    SCOPED_TRACE(c.name);
    GrowBuffer b;
    NewGrowBuffer(&b, c.initial);
    std::string expected;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      if (c.steps[i] == kPutc) {
        const char ch = static_cast<char>('a' + i);
        ASSERT_EQ(GrowBufPutc(&b, ch), &b);
        expected += ch;
      } else {
        const std::string data(static_cast<size_t>(c.steps[i]), static_cast<char>('0' + i));
        ASSERT_EQ(GrowBufPutmem(&b, static_cast<uint32_t>(data.size()), data.data()), &b);
        expected += data;
      }
      EXPECT_EQ(BlockSize(b), c.blocks[i]) << "step " << i;
      EXPECT_EQ(b.size, c.blocks[i]) << "step " << i;
      EXPECT_GE(b.end - b.cur, 1) << "a byte stays free after every append";
    }
    EXPECT_EQ(Contents(b), expected);
    GrowBufFree(&b, 0);
  }
}

TEST(GrowBuf, AppendFromItsOwnBytesSurvivesAMovingBlock) {
  GrowBuffer b;
  NewGrowBuffer(&b, 4);
  GrowBufPuts(&b, "abc");
  for (int i = 0; i < 6; ++i) ASSERT_EQ(GrowBufPutmem(&b, GrowBufSize(&b), GrowBufPeek(&b)), &b);
  EXPECT_EQ(GrowBufSize(&b), 3u << 6);
  EXPECT_EQ(Contents(b).substr(0, 9), "abcabcabc");
  GrowBufFree(&b, 0);
}

// A block size beyond 32 bits must fail the append, not wrap into a small
// block that the copy then overruns.
TEST(GrowBuf, FirstBlockSizeOverflowFailsTheAppend) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  const char data[4] = {};
  EXPECT_EQ(GrowBufPutmem(&b, 0x80000000u, data), nullptr);
  EXPECT_EQ(b.start, nullptr);
  EXPECT_EQ(b.size, GROWBUF_DEFAULT_SIZE);
}

TEST(GrowBuf, GrownBlockSizeOverflowLeavesTheBufferAsItWas) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  GrowBufPutc(&b, 'x');
  const GrowBuffer before = b;
  const char data[4] = {};
  // 512 + 2 * 0x7fffff00 is exactly 2^32.
  EXPECT_EQ(GrowBufPutmem(&b, 0x7fffff00u, data), nullptr);
  EXPECT_EQ(b.start, before.start);
  EXPECT_EQ(b.cur, before.cur);
  EXPECT_EQ(b.end, before.end);
  EXPECT_EQ(b.size, before.size);
  EXPECT_EQ(Contents(b), "x");
  GrowBufFree(&b, 0);
}

TEST(GrowBuf, PutcOverflowOfTheBlockSizeFails) {
  // A block whose recorded size sits at the 32-bit limit, built by hand:
  // the record is plain data and the real block stays small.
  char *block = static_cast<char *>(malloc(4));
  GrowBuffer b{block, block + 3, block + 4, UINT32_MAX - 1};
  EXPECT_EQ(GrowBufPutc(&b, 'x'), nullptr);
  EXPECT_EQ(b.start, block);
  EXPECT_EQ(b.cur, block + 3);
  EXPECT_EQ(b.size, UINT32_MAX - 1);
  free(block);
}

TEST(GrowBuf, SetmemOverwritesOnlyWithinWrittenBytes) {
  struct Case {
    uint32_t offset, length;
    bool fits;
  };
  const Case cases[] = {
      {0, 6, true},  {2, 4, true},           {6, 0, true},           {7, 0, false},
      {5, 2, false}, {UINT32_MAX, 2, false}, {1, UINT32_MAX, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    GrowBuffer b;
    NewGrowBuffer(&b, 0);
    GrowBufPuts(&b, "abcdef");
    char *const block = b.start;
    const std::string patch(8, 'Z');
    GrowBuffer *r = GrowBufSetmem(&b, c.offset, c.length, patch.data());
    EXPECT_EQ(r, c.fits ? &b : nullptr);
    std::string expected = "abcdef";
    if (c.fits) expected.replace(c.offset, c.length, std::string(c.length, 'Z'));
    EXPECT_EQ(Contents(b), expected);
    EXPECT_EQ(b.start, block);
    EXPECT_EQ(GrowBufSetmem(&b, 0, 100, nullptr), &b) << "null data does nothing";
    GrowBufFree(&b, 0);
  }
}

TEST(GrowBuf, UnputcRemovesTheLastByteOnly) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  EXPECT_EQ(GrowBufUnputc(&b), &b);
  GrowBufPuts(&b, "ab");
  GrowBufUnputc(&b);
  EXPECT_EQ(Contents(b), "a");
  GrowBufUnputc(&b);
  GrowBufUnputc(&b);
  EXPECT_EQ(GrowBufSize(&b), 0u);
  GrowBufFree(&b, 0);
}

TEST(GrowBuf, ReleaseHandsOverAStringAndTheBufferIsReusable) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  GrowBufPutmem(&b, 1000, std::string(1000, 'q').data());
  GrowBufPutc(&b, '\0');
  char *s = GrowBufRelease(&b);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s), std::string(1000, 'q'));
  free(s);
  EXPECT_EQ(b.start, nullptr);
  EXPECT_EQ(GrowBufSize(&b), 0u);
  EXPECT_EQ(b.size, 2000u) << "next first block has the released block's size";
  GrowBufPutc(&b, 'z');
  EXPECT_EQ(BlockSize(b), 2000u);
  EXPECT_EQ(Contents(b), "z");
  GrowBufFree(&b, 0);
}

TEST(GrowBuf, ReleaseOfAnEmptyBlockFreesItAndGivesNull) {
  GrowBuffer b;
  NewGrowBuffer(&b, 64);
  EXPECT_EQ(GrowBufRelease(&b), nullptr) << "no block";
  GrowBufPutmem(&b, 0, "");
  ASSERT_NE(b.start, nullptr);
  EXPECT_EQ(GrowBufRelease(&b), nullptr);  // the leak checker sees the block freed
  EXPECT_EQ(b.start, nullptr);
  EXPECT_EQ(b.size, 64u);
}

TEST(GrowBuf, FreeKeepsTheLastBlockSizeForReuse) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  GrowBufFree(&b, 1);  // nothing held: only re-initialises
  EXPECT_EQ(b.size, 512u);
  GrowBufPutmem(&b, 700, std::string(700, 'x').data());
  GrowBufFree(&b, 1);
  EXPECT_EQ(b.start, nullptr);
  EXPECT_EQ(b.size, 1400u);
  GrowBufPutc(&b, 'a');
  EXPECT_EQ(BlockSize(b), 1400u);
  GrowBufFree(&b, 0);
}

TEST(GrowBuf, NullArgumentsAreHarmless) {
  NewGrowBuffer(nullptr, 3);
  EXPECT_EQ(GrowBufPutc(nullptr, 'a'), nullptr);
  EXPECT_EQ(GrowBufPutmem(nullptr, 1, "a"), nullptr);
  EXPECT_EQ(GrowBufPuts(nullptr, "a"), nullptr);
  EXPECT_EQ(GrowBufSetmem(nullptr, 0, 0, "a"), nullptr);
  EXPECT_EQ(GrowBufUnputc(nullptr), nullptr);
  EXPECT_EQ(GrowBufSize(nullptr), 0u);
  EXPECT_EQ(GrowBufPeek(nullptr), nullptr);
  EXPECT_EQ(GrowBufRelease(nullptr), nullptr);
  GrowBufFree(nullptr, 1);

  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  EXPECT_EQ(GrowBufPutmem(&b, 5, nullptr), &b);
  EXPECT_EQ(GrowBufPuts(&b, nullptr), &b);
  EXPECT_EQ(b.start, nullptr) << "null data allocates nothing";
  EXPECT_EQ(GrowBufPutc(GrowBufPutc(nullptr, 'a'), 'b'), nullptr) << "nested appends fail together";
}

}  // namespace
