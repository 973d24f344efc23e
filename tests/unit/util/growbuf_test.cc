#include "util/growbuf.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/fault.h"
#include "support/table_file.h"

namespace {

using vxtest::Row;
using Texts = std::vector<std::string>;

uint32_t BlockSize(const GrowBuffer &b) { return static_cast<uint32_t>(b.end - b.start); }
std::string Contents(const GrowBuffer &b) { return std::string(GrowBufPeek(&b), GrowBufSize(&b)); }

// What the call a row of golden/growbuf.table names gives for its arguments.
Texts Call(const Row &r) {
  GrowBuffer b;
  NewGrowBuffer(&b, r[0] == "growth" ? static_cast<uint32_t>(r.Number(1)) : 0);
  std::string expected;
  Texts out;
  if (r[0] == "growth" && r.Args(2)) {
    std::string step;
    for (std::istringstream steps(r[2]); std::getline(steps, step, ',');) {
      const bool own = step == "s";  // the bytes written so far, from the block that moves
      const auto n = step == "c" ? 1u : own ? GrowBufSize(&b) : static_cast<uint32_t>(std::stoul(step));
      // More than that must fail before a byte is read.
      const std::string data =
          own ? Contents(b) : std::string(std::min(n, 4096u), static_cast<char>('a' + out.size()));
      const GrowBuffer before = b;
      if ((step == "c" ? GrowBufPutc(&b, data[0])
                       : GrowBufPutmem(&b, n, own ? GrowBufPeek(&b) : data.data())) == nullptr) {
        EXPECT_TRUE(b.start == before.start && b.cur == before.cur && b.end == before.end &&
                    b.size == before.size)
            << "a failed append leaves the buffer as it was";
        out.push_back("null");
        continue;
      }
      expected += data;
      out.push_back(std::to_string(BlockSize(b)));
      EXPECT_EQ(b.size, BlockSize(b));
      EXPECT_GE(b.end - b.cur, 1) << "a byte stays free after every append";
    }
  } else if (r[0] == "setmem" && r.Args(2)) {
    GrowBufPuts(&b, "abcdef");
    char *const block = b.start;
    const auto offset = static_cast<uint32_t>(r.Number(1)), length = static_cast<uint32_t>(r.Number(2));
    const bool fits = GrowBufSetmem(&b, offset, length, std::string(8, 'Z').data()) == &b;
    expected = fits ? std::string("abcdef").replace(offset, length, std::string(length, 'Z')) : "abcdef";
    EXPECT_EQ(b.start, block);
    EXPECT_EQ(GrowBufSetmem(&b, 0, 100, nullptr), &b) << "null data does nothing";
    out.push_back(fits ? "1" : "0");
  } else {
    ADD_FAILURE() << "unknown call " << r[0];
  }
  EXPECT_EQ(Contents(b), expected);
  GrowBufFree(&b, 0);
  return out;
}

TEST(GrowBuf, EveryRowOfTheTableGivesItsResults) { vxtest::RunTable(UTIL_GOLDEN_DIR "/growbuf.table", Call); }

// Null buffers and null data do nothing; a buffer stays usable after
// GrowBufUnputc, GrowBufRelease and GrowBufFree.
TEST(GrowBuf, NullArgumentsAreHarmlessAndABufferOutlivesItsBlocks) {
  NewGrowBuffer(nullptr, 3);
  GrowBufFree(nullptr, 1);
  EXPECT_TRUE(!GrowBufPutc(nullptr, 'a') && !GrowBufPutmem(nullptr, 1, "a") && !GrowBufPuts(nullptr, "a") &&
              !GrowBufSetmem(nullptr, 0, 0, "a") && !GrowBufUnputc(nullptr) && GrowBufSize(nullptr) == 0 &&
              !GrowBufPeek(nullptr) && !GrowBufRelease(nullptr));
  GrowBuffer b;
  NewGrowBuffer(&b, 0);
  EXPECT_TRUE(GrowBufPutmem(&b, 5, nullptr) == &b && GrowBufPuts(&b, nullptr) == &b && b.start == nullptr)
      << "null data appends and allocates nothing";
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
  namespace fi = vxtest::fault;
  fi::Watch one{b.start, 1};  // a single written byte is wiped too
  fi::WatchBlocks(&one);
  GrowBufFree(&b, 1);
  fi::WatchBlocks(nullptr);
  EXPECT_TRUE(one.how == fi::Release::kFree && one.zeroed);
  EXPECT_TRUE(b.start == nullptr && b.size == 2000u) << "freed block's size kept";
  GrowBufPutmem(&b, 0, "");
  ASSERT_NE(b.start, nullptr);
  EXPECT_EQ(GrowBufRelease(&b), nullptr) << "an empty block is freed, not handed out";
  EXPECT_EQ(b.start, nullptr);
}

}  // namespace
