// The wiping of sensitive messages, how received blocks are obtained and
// given back, and a failed string copy, observed through link-time wrappers
// of malloc, realloc, free, madvise and munmap (see CMakeLists.txt). The allocation-failure sweep of
// tests/unit/allocfail covers failures in building, reading and dumping otherwise.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_common/msg_block.h"
#include "msg_test_util.h"

using namespace msgtest;

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *ptr, size_t size);
void __real_free(void *ptr);
int __real_madvise(void *addr, size_t length, int advice);
int __real_munmap(void *addr, size_t length);
}

namespace {

struct Watch {
  const void *ptr;
  size_t size;
  int zeroed;  // -1 until freed, then whether every byte was 0
};

bool g_fail_malloc = false;  // fail the next malloc
long g_reallocs = 0;         // of a held block, which frees the old copy unwiped
Watch g_watch[2];

bool g_refuse_advice = false;  // madvise fails as where huge pages are not built in
int g_huge_advice = 0;         // MADV_HUGEPAGE advice given
struct Unmapped {
  void *addr;
  size_t length;
  int block_zeroed;  // whether the watched block was all zero then (-1: not watched)
};
std::vector<Unmapped> g_unmapped;

}  // namespace

extern "C" int __wrap_madvise(void *addr, size_t length, int advice) {
  g_huge_advice += advice == MADV_HUGEPAGE;
  if (!g_refuse_advice) return __real_madvise(addr, length, advice);
  errno = EINVAL;
  return -1;
}

extern "C" int __wrap_munmap(void *addr, size_t length) {
  int zeroed = -1;
  const auto *block = static_cast<const unsigned char *>(g_watch[0].ptr);
  if (block != nullptr && block >= addr && block < static_cast<const unsigned char *>(addr) + length)
    zeroed = std::all_of(block, block + g_watch[0].size, [](unsigned char c) { return c == 0; });
  g_unmapped.push_back({addr, length, zeroed});
  return __real_munmap(addr, length);
}

extern "C" void *__wrap_malloc(size_t size) {
  if (!g_fail_malloc) return __real_malloc(size);
  g_fail_malloc = false;
  return nullptr;
}

extern "C" void *__wrap_realloc(void *ptr, size_t size) {
  g_reallocs += ptr != nullptr;
  return __real_realloc(ptr, size);
}

extern "C" void __wrap_free(void *ptr) {
  for (Watch &w : g_watch) {
    if (ptr == nullptr || w.ptr != ptr || w.zeroed != -1) continue;
    const auto *bytes = static_cast<const unsigned char *>(ptr);
    w.zeroed = std::all_of(bytes, bytes + w.size, [](unsigned char c) { return c == 0; });
  }
  __real_free(ptr);
}

namespace {

// Watches up to two blocks until the next call.
void WatchBlocks(const void *a, size_t a_size, const void *b = nullptr, size_t b_size = 0) {
  g_watch[0] = Watch{a, a_size, -1};
  g_watch[1] = Watch{b, b_size, -1};
}

const struct {
  const char *name;
  uint32_t type;
  bool wiped;
} kWipeCases[] = {
    {"flags 1", 702, true},
    {"flags 3", MSGTYPE_RELOAD_LOCAL_ACCT, true},
    {"flags 0", MSGTYPE_GET_LOCAL_ACCT_MGMT, false},
    {"one-way", MSGTYPE_AUDIT_TRAIL_EVENT, false},
};

// A message holding a secret in each state MsgFree meets: building,
// complete, received as a copy, received into an owned block.
TEST(MsgWipe, SensitiveMessagesAreZeroedBeforeFree) {
  enum How { kBuilding, kComplete, kCopy, kOwned };
  for (const auto &c : kWipeCases) {
    for (How how : {kBuilding, kComplete, kCopy, kOwned}) {
      SCOPED_TRACE(std::string(c.name) + ", way " + std::to_string(how));
      Msg *msg = nullptr;
      if (how == kBuilding || how == kComplete) {
        msg = NewMsg(c.type, GetMsgTypeTable(), kHeader, nullptr);
        ASSERT_EQ(MsgAddString(msg, "hunter2"), MSG_OK);
        ASSERT_TRUE(how != kComplete || MsgComplete(msg) == MSG_OK);
      } else {
        msg = Receive(Block(static_cast<uint16_t>(c.type), Str("hunter2")), how == kCopy, nullptr).release();
        ASSERT_NE(msg, nullptr);
      }
      uint32_t length = GrowBufSize(&msg->buf);
      const void *block = how == kBuilding ? static_cast<void *>(GrowBufPeek(&msg->buf))
                                           : MsgGetBuffer(msg, &length, nullptr);
      WatchBlocks(block, length, msg, sizeof(Msg));
      MsgFree(msg);
      EXPECT_EQ(g_watch[0].zeroed, c.wiped ? 1 : 0) << "block";
      EXPECT_EQ(g_watch[1].zeroed, c.wiped ? 1 : 0) << "record";
      WatchBlocks(nullptr, 0);
    }
  }
}

// realloc frees the old copy of the bytes without wiping it, so a sensitive
// message must grow and complete without it; a plain one uses it (which
// shows that the count works).
TEST(MsgWipe, SensitiveMessageNeverReallocatesAndWipesOldBlocks) {
  const std::string kLong(600, 's');  // outgrows the first block
  for (const auto &c : kWipeCases) {
    SCOPED_TRACE(c.name);
    Msg *msg = NewMsg(c.type, GetMsgTypeTable(), kHeader, nullptr);
    ASSERT_EQ(MsgAddString(msg, "hunter2"), MSG_OK);
    g_reallocs = 0;
    int wiped_moves = 0, moves = 0;
    for (int i = 0; i <= 40; ++i) {
      WatchBlocks(GrowBufPeek(&msg->buf), GrowBufSize(&msg->buf));
      ASSERT_EQ(i < 40 ? MsgAddString(msg, kLong.c_str()) : MsgComplete(msg), MSG_OK);
      moves += g_watch[0].zeroed != -1;
      wiped_moves += g_watch[0].zeroed == 1;
    }
    const int completion_wiped = g_watch[0].zeroed;  // the block that MsgComplete copied out of
    WatchBlocks(nullptr, 0);
    EXPECT_EQ(g_reallocs == 0, c.wiped) << g_reallocs << " reallocs";
    EXPECT_TRUE(!c.wiped || (moves > 1 && wiped_moves == moves && completion_wiped == 1)) << moves;
    std::string expected = Block(static_cast<uint16_t>(c.type), Str("hunter2"), false);
    for (int i = 0; i < 40; ++i) expected += Str(kLong);
    EXPECT_EQ(Bytes(msg), expected + U8(MDT_END));
    MsgFree(msg);
  }
}

// A list reply of `entries` lines of 60 bytes, with its set's count.
std::string ListReply(uint16_t type, uint32_t entries) {
  std::string fields = Int(0) + U8(MDT_STRINGSET) + U32(entries);
  for (uint32_t i = 0; i < entries; ++i)
    fields += Item(std::string(59, 'a' + static_cast<char>(i % 26)) + "\n");
  return Block(type, fields);
}

// Large received blocks live in a 2 MiB-aligned mapping advised for huge
// pages, small ones on the heap; a mapping is given back with munmap of the
// whole mapping, wiped first for a sensitive type; where the advice is
// refused the message reads the same.
TEST(MsgBlock, LargeBlocksAreMappedAndUnmappedWholeAfterTheWipe) {
  const struct {
    const char *name;
    uint16_t type;
    uint32_t entries;
    bool refuse_advice, mapped, wiped;
  } cases[] = {
      {"small sensitive", MSGTYPE_LIST_LOCAL_ACCT, 100, false, false, true},
      {"large sensitive", MSGTYPE_LIST_LOCAL_ACCT, 40000, false, true, true},
      {"large, advice refused", MSGTYPE_LIST_LOCAL_ACCT, 40000, true, true, true},
      {"large plain", MSGTYPE_GET_LOCAL_ACCT_MGMT, 40000, false, true, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = ListReply(c.type, c.entries);
    g_refuse_advice = c.refuse_advice;
    g_huge_advice = 0;
    const vx_msg::Block block = vx_msg::AllocBlock(bytes.size());
    g_refuse_advice = false;
    ASSERT_NE(block.bytes, nullptr);
    EXPECT_EQ(block.map != nullptr, c.mapped);
    EXPECT_EQ(g_huge_advice, c.mapped ? 1 : 0);
    if (c.mapped) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block.bytes) % MSG_MAP_ALIGN, 0u);
      EXPECT_GE(static_cast<unsigned char *>(block.map) + block.map_length, block.bytes + bytes.size());
    }
    memcpy(block.bytes, bytes.data(), bytes.size());
    uint32_t status = 1;
    Msg *msg = vx_msg::NewMsgFromBlock(block, static_cast<uint32_t>(bytes.size()), GetMsgTypeTable(), kHeader,
                                       nullptr, &status);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(status, MSG_OK);
    MsgSetReader reader;
    const char *item = nullptr;
    uint32_t length = 0, last = 0;
    ASSERT_EQ(MsgGetInt(msg, nullptr), MSG_OK);
    ASSERT_EQ(MsgOpenStringSet(msg, &reader, nullptr), MSG_OK);
    while (MsgNextSetItem(&reader, &item, &length) == MSG_OK) last = length;
    EXPECT_EQ(last, 60u);
    EXPECT_EQ(MsgGetBool(msg, nullptr), MSG_ERR_END) << "the whole set was read";
    g_unmapped.clear();
    WatchBlocks(block.bytes, bytes.size());
    MsgFree(msg);
    if (c.mapped) {
      ASSERT_EQ(g_unmapped.size(), 1u);
      EXPECT_TRUE(g_unmapped[0].addr == block.map && g_unmapped[0].length == block.map_length);
      EXPECT_EQ(g_unmapped[0].block_zeroed, c.wiped ? 1 : 0);
      EXPECT_EQ(g_watch[0].zeroed, -1) << "a mapped block is never given to free";
    } else {
      EXPECT_TRUE(g_unmapped.empty());
      EXPECT_EQ(g_watch[0].zeroed, c.wiped ? 1 : 0);
    }
    WatchBlocks(nullptr, 0);
  }
}

// A block that fails validation stays the caller's, mapped or not.
TEST(MsgBlock, InvalidBlockStaysTheCallers) {
  for (size_t size : {size_t{64}, size_t{MSG_MAP_THRESHOLD}}) {
    const vx_msg::Block block = vx_msg::AllocBlock(size);
    ASSERT_NE(block.bytes, nullptr);
    memset(block.bytes, 0x7f, size);
    uint32_t status = 0;
    g_unmapped.clear();
    EXPECT_EQ(vx_msg::NewMsgFromBlock(block, static_cast<uint32_t>(size), GetMsgTypeTable(), kHeader, nullptr,
                                      &status),
              nullptr);
    EXPECT_EQ(status, MSG_ERR_INVALID);
    EXPECT_TRUE(g_unmapped.empty());
    vx_msg::ReleaseBlock(block, size);
    EXPECT_EQ(g_unmapped.size(), block.map != nullptr ? 1u : 0u);
  }
}

// A failed copy leaves the cursor after the string's length.
TEST(MsgAllocFailure, FailedStringCopyLeavesCursorAfterLength) {
  MsgPtr msg = Receive(Block(MSGTYPE_LIST_LOCAL_ACCT, Str("abc") + Bool(1)), 1, nullptr);
  ASSERT_NE(msg, nullptr);
  char *text = nullptr;
  g_fail_malloc = true;
  const uint32_t status = MsgGetString(msg.get(), &text);
  const bool failed = !g_fail_malloc;
  g_fail_malloc = false;
  ASSERT_TRUE(failed) << "MsgGetString did not allocate";
  EXPECT_EQ(status, MSG_ERR_NOMEM);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(msg->cur, MsgGetBuffer(msg.get(), nullptr, nullptr) + kHeader + 2 + 1 + 4);
}

}  // namespace
