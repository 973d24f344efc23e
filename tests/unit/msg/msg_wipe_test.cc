// The wiping of sensitive messages, and a failed string copy, observed
// through link-time wrappers of malloc, realloc and free (see
// CMakeLists.txt). The allocation-failure sweep of tests/unit/allocfail
// covers failures in building, reading and dumping otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "msg_test_util.h"

using namespace msgtest;

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *ptr, size_t size);
void __real_free(void *ptr);
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

}  // namespace

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
        msg = Receive(Block(static_cast<uint16_t>(c.type), FStr("hunter2")), how == kCopy, nullptr).release();
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
    std::string expected = Block(static_cast<uint16_t>(c.type), FStr("hunter2"), false);
    for (int i = 0; i < 40; ++i) expected += FStr(kLong);
    EXPECT_EQ(Bytes(msg), expected + U8(MDT_END));
    MsgFree(msg);
  }
}

// A failed copy leaves the cursor after the string's length.
TEST(MsgAllocFailure, FailedStringCopyLeavesCursorAfterLength) {
  MsgPtr msg = Receive(Block(MSGTYPE_LIST_LOCAL_ACCT, FStr("abc") + FBool(1)), 1, nullptr);
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
