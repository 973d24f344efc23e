#include "util/growbuf.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/fault.h"

namespace {

constexpr int kPutc = -1;  // a step that appends one byte with GrowBufPutc

uint32_t BlockSize(const GrowBuffer &b) { return static_cast<uint32_t>(b.end - b.start); }
std::string Contents(const GrowBuffer &b) { return std::string(GrowBufPeek(&b), GrowBufSize(&b)); }
void ExpectSame(const GrowBuffer &a, const GrowBuffer &b) {
  EXPECT_TRUE(a.start == b.start && a.cur == b.cur && a.end == b.end && a.size == b.size);
}

TEST(GrowBuf, BlockSizesFollowTheGrowthRule) {
  const struct {
    const char *name;
    uint32_t initial;
    std::vector<int> steps;        // kPutc, or a length for GrowBufPutmem
    std::vector<uint32_t> blocks;  // block size after each step
  } cases[] = {
      {"size 0 means 512", 0, {kPutc}, {512}},
      {"size 1 gives a 2-byte first block", 1, {kPutc}, {2}},
      {"first putmem takes twice its length", 0, {1000}, {2000}},
      {"first putmem takes at least size", 0, {100}, {512}},
      {"length 0 still allocates", 0, {0}, {512}},
      {"putmem needs room strictly greater", 0, {kPutc, 510, 1}, {512, 512, 514}},
      {"putmem grows by twice its length", 0, {kPutc, 511}, {512, 1534}},
      {"putc grows a full block by 2", 4, {kPutc, kPutc, kPutc, kPutc, kPutc, kPutc}, {4, 4, 4, 6, 6, 8}},
      {"mixed", 8, {3, kPutc, kPutc, 2, 1}, {8, 8, 8, 8, 10}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    GrowBuffer b;
    NewGrowBuffer(&b, c.initial);
    std::string expected;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const bool putc = c.steps[i] == kPutc;
      const std::string data(putc ? 1 : static_cast<size_t>(c.steps[i]),
                             static_cast<char>((putc ? 'a' : '0') + i));
      ASSERT_EQ(putc ? GrowBufPutc(&b, data[0])
                     : GrowBufPutmem(&b, static_cast<uint32_t>(data.size()), data.data()),
                &b);
      expected += data;
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
  std::string expected;
  for (int i = 0; i < 64; ++i) expected += "abc";
  EXPECT_EQ(Contents(b), expected);
  GrowBufFree(&b, 0);
}

// A block size beyond 32 bits must fail the append and leave the buffer as
// it was, not wrap into a small block that the copy then overruns.
TEST(GrowBuf, BlockSizeOverflowFailsTheAppend) {
  const char data[4] = {};
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  GrowBuffer before = b;
  EXPECT_EQ(GrowBufPutmem(&b, 0x80000000u, data), nullptr);
  ExpectSame(b, before);
  GrowBufPutc(&b, 'x');
  before = b;
  EXPECT_EQ(GrowBufPutmem(&b, 0x7fffff00u, data), nullptr);  // 512 + 2 * 0x7fffff00 is 2^32
  ExpectSame(b, before);
  EXPECT_EQ(Contents(b), "x");
  GrowBufFree(&b, 0);
  // GrowBufPutc on a full block whose recorded size sits at the limit (the
  // record is plain data; the real block stays small).
  char *block = static_cast<char *>(malloc(4));
  GrowBuffer full{block, block + 3, block + 4, UINT32_MAX - 1};
  before = full;
  EXPECT_EQ(GrowBufPutc(&full, 'x'), nullptr);
  ExpectSame(full, before);
  free(block);
}

TEST(GrowBuf, SetmemOverwritesOnlyWithinWrittenBytes) {
  const struct {
    uint32_t offset, length;
    bool fits;
  } cases[] = {{0, 6, true},  {2, 4, true},           {6, 0, true},          {7, 0, false},
               {5, 2, false}, {UINT32_MAX, 2, false}, {1, UINT32_MAX, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    GrowBuffer b;
    NewGrowBuffer(&b, 0);
    GrowBufPuts(&b, "abcdef");
    char *const block = b.start;
    EXPECT_EQ(GrowBufSetmem(&b, c.offset, c.length, std::string(8, 'Z').data()), c.fits ? &b : nullptr);
    std::string expected = "abcdef";
    if (c.fits) expected.replace(c.offset, c.length, std::string(c.length, 'Z'));
    EXPECT_EQ(Contents(b), expected);
    EXPECT_EQ(b.start, block);
    EXPECT_EQ(GrowBufSetmem(&b, 0, 100, nullptr), &b) << "null data does nothing";
    GrowBufFree(&b, 0);
  }
}

TEST(GrowBuf, UnputcReleaseAndFreeLeaveAReusableBuffer) {
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  EXPECT_EQ(GrowBufUnputc(&b), &b);
  EXPECT_EQ(GrowBufRelease(&b), nullptr) << "no block";
  GrowBufPutmem(&b, 1000, std::string(1000, 'q').data());
  GrowBufUnputc(&b);
  GrowBufPutc(&b, '\0');
  char *s = GrowBufRelease(&b);
  EXPECT_EQ(std::string(s), std::string(999, 'q'));
  free(s);
  EXPECT_TRUE(b.start == nullptr && GrowBufSize(&b) == 0 && b.size == 2000u) << "released block's size kept";
  GrowBufPutc(&b, 'z');
  EXPECT_EQ(BlockSize(b), 2000u);
  GrowBufFree(&b, 1);
  EXPECT_TRUE(b.start == nullptr && b.size == 2000u) << "freed block's size kept";
  GrowBufPutmem(&b, 0, "");
  ASSERT_NE(b.start, nullptr);
  EXPECT_EQ(GrowBufRelease(&b), nullptr) << "an empty block is freed, not handed out";
  EXPECT_EQ(b.start, nullptr);
}

TEST(GrowBuf, FreeWipesTheWrittenBytesOnlyWhenAsked) {
  const std::pair<const char *, int> cases[] = {{"secret!", 1}, {"secret!", 0}, {"s", 1}};
  for (auto [secret, wipe] : cases) {
    GrowBuffer b;
    NewGrowBuffer(&b, 0);
    GrowBufPuts(&b, secret);
    vxtest::fault::Watch w{b.start, strlen(secret)};
    vxtest::fault::WatchBlocks(&w);
    GrowBufFree(&b, wipe);
    vxtest::fault::WatchBlocks(nullptr);
    EXPECT_TRUE(w.how == vxtest::fault::Release::kFree && w.zeroed == (wipe == 1));
    EXPECT_EQ(b.start, nullptr);
  }
}

TEST(GrowBuf, NullArgumentsAreHarmless) {
  NewGrowBuffer(nullptr, 3);
  GrowBufFree(nullptr, 1);
  EXPECT_TRUE(!GrowBufPutc(nullptr, 'a') && !GrowBufPutmem(nullptr, 1, "a") && !GrowBufPuts(nullptr, "a") &&
              !GrowBufSetmem(nullptr, 0, 0, "a") && !GrowBufUnputc(nullptr) && GrowBufSize(nullptr) == 0 &&
              !GrowBufPeek(nullptr) && !GrowBufRelease(nullptr));
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  EXPECT_TRUE(GrowBufPutmem(&b, 5, nullptr) == &b && GrowBufPuts(&b, nullptr) == &b && b.start == nullptr)
      << "null data appends and allocates nothing";
}

}  // namespace
