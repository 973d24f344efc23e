// Allocation failures and the wiping of sensitive messages, observed through
// link-time wrappers of malloc, calloc, realloc and free (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);
void __real_free(void *ptr);
}

namespace {

constexpr int kMaxWatched = 4;
constexpr long kMaxSweep = 2000;

struct Watch {
  const void *ptr;
  size_t size;
  int zeroed; /* -1 until freed, then 1 when every byte was 0 */
};

struct Hooks {
  long fail_at = 0; /* 1-based allocation to fail since arming; 0: none */
  long allocations = 0;
  long reallocs = 0; /* of a held block, which frees it unwiped */
  long live = 0; /* blocks allocated and not yet freed */
  Watch watched[kMaxWatched] = {};
  int watch_count = 0;
} g;

bool FailNow() { return ++g.allocations == g.fail_at; }

void Arm(long fail_at) {
  g.fail_at = fail_at;
  g.allocations = 0;
  g.reallocs = 0;
}

void Disarm() { g.fail_at = 0; }

Watch *WatchBlock(const void *ptr, size_t size) {
  Watch *w = &g.watched[g.watch_count++];
  *w = Watch{ptr, size, -1};
  return w;
}

void ClearWatches() { g.watch_count = 0; }

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
  if (FailNow()) return nullptr;
  void *p = __real_malloc(size);
  g.live += p != nullptr;
  return p;
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
  if (FailNow()) return nullptr;
  void *p = __real_calloc(count, size);
  g.live += p != nullptr;
  return p;
}

extern "C" void *__wrap_realloc(void *ptr, size_t size) {
  g.reallocs += ptr != nullptr; /* realloc(nullptr, n) is only a malloc */
  if (FailNow()) return nullptr;
  void *p = __real_realloc(ptr, size);
  g.live += p != nullptr && ptr == nullptr;
  return p;
}

extern "C" void __wrap_free(void *ptr) {
  if (ptr == nullptr) return;
  for (int i = 0; i < g.watch_count; ++i) {
    Watch &w = g.watched[i];
    if (w.ptr != ptr || w.zeroed != -1) continue;
    const auto *bytes = static_cast<const unsigned char *>(ptr);
    w.zeroed = 1;
    for (size_t j = 0; j < w.size; ++j)
      if (bytes[j] != 0) w.zeroed = 0;
  }
  --g.live;
  __real_free(ptr);
}

namespace {

const std::string kLong(600, 's'); /* outgrows the first block of a request */

// ---- allocation failure sweeps ----

bool Allowed(uint32_t status, std::initializer_list<uint32_t> allowed) {
  for (uint32_t a : allowed)
    if (status == a) return true;
  return false;
}

// Builds, completes and dumps a request. Returns false on a status that
// breaks the rules: the first failure is 200 and every later append or
// completion is 205.
bool BuildScenario(uint32_t type) {
  uint32_t status = 0;
  Msg *msg = NewMsg(type, GetMsgTypeTable(), kHeader, &status);
  if (msg == nullptr) return status == MSG_ERR_NOMEM;
  bool failed = false, ok = true;
  auto step = [&](uint32_t s) {
    ok = ok && (failed ? s == MSG_ERR_INVALID : Allowed(s, {MSG_OK, MSG_ERR_NOMEM}));
    failed = failed || s != MSG_OK;
  };
  step(MsgAddBool(msg, 1));
  step(MsgAddString(msg, kLong.c_str()));
  step(MsgAddInt(msg, -1));
  step(MsgAddString(msg, kLong.c_str()));
  step(MsgAddString(msg, nullptr));
  step(MsgComplete(msg));
  MsgGetBuffer(msg, nullptr, &status);
  ok = ok && status == (failed ? MSG_ERR_INVALID : MSG_OK);
  free(MsgDump(msg));
  MsgFree(msg);
  return ok;
}

constexpr size_t kSetItems = 4;

bool ReadScenario(const std::string &block) {
  uint32_t status = 0;
  Msg *msg = NewMsgFromBuffer(const_cast<char *>(block.data()), static_cast<uint32_t>(block.size()), 1,
                              GetMsgTypeTable(), kHeader, &status);
  if (msg == nullptr) return status == MSG_ERR_NOMEM;
  bool ok = true;
  char *text = nullptr;
  char **set = nullptr;
  status = MsgGetString(msg, &text);
  ok = ok && Allowed(status, {MSG_OK, MSG_ERR_NOMEM}) && (status == MSG_OK) == (text != nullptr);
  free(text);
  status = MsgGetStringSet(msg, &set);
  ok = ok && Allowed(status, {MSG_OK, MSG_ERR_NOMEM, MSG_ERR_TYPE}) && (status == MSG_OK) == (set != nullptr);
  // The set holds a null item: its length comes from the block, not from
  // the first null pointer.
  for (size_t i = 0; set != nullptr && i < kSetItems; ++i) free(set[i]);
  free(set);
  free(MsgDump(msg));
  MsgFree(msg);
  return ok;
}

// Fails each allocation of the scenario in turn; no failure may break a
// rule or leak a block.
template <typename Scenario>
void Sweep(const char *name, Scenario scenario) {
  long n = 1;
  for (; n < kMaxSweep; ++n) {
    const long live = g.live;
    Arm(n);
    const bool ok = scenario();
    const long reached = g.allocations;
    Disarm();
    EXPECT_TRUE(ok) << name << ": allocation " << n;
    EXPECT_EQ(g.live, live) << name << ": allocation " << n << " leaks";
    if (reached < n) break;
  }
  EXPECT_GT(n, 3) << name << " made too few allocations to be a sweep";
  EXPECT_LT(n, kMaxSweep) << name;
}

TEST(MsgAllocFailure, EveryAllocationOfABuildCanFail) {
  Sweep("plain request", [] { return BuildScenario(MSGTYPE_CONTROL_LOG2); });
  Sweep("sensitive request", [] { return BuildScenario(702); });
}

TEST(MsgAllocFailure, EveryAllocationOfAReadCanFail) {
  const std::string block = Block(MSGTYPE_LIST_LOCAL_ACCT, FStr("abc") + FSet({"a", nullptr, "bcd", ""}));
  Sweep("reply", [&] { return ReadScenario(block); });
}

TEST(MsgAllocFailure, FailedAppendPoisonsTheMessage) {
  MsgPtr msg(NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), kHeader, nullptr));
  Arm(1);
  const uint32_t first = MsgAddString(msg.get(), kLong.c_str());
  Disarm();
  EXPECT_EQ(first, MSG_ERR_NOMEM);
  EXPECT_EQ(MsgAddBool(msg.get(), 1), MSG_ERR_INVALID);
  EXPECT_EQ(MsgAddString(msg.get(), "x"), MSG_ERR_INVALID);
  EXPECT_EQ(MsgComplete(msg.get()), MSG_ERR_INVALID);
  uint32_t status = 0, value = 0;
  EXPECT_EQ(MsgGetBuffer(msg.get(), nullptr, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
  EXPECT_EQ(MsgGetBool(msg.get(), &value), MSG_ERR_INVALID);
  // The tag and length written before the failure stay.
  EXPECT_EQ(Dump(msg.get()), "ControlLog2[<incomplete>");
}

TEST(MsgAllocFailure, FailedStringCopyLeavesCursorAfterLength) {
  MsgPtr msg = Receive(Block(MSGTYPE_LIST_LOCAL_ACCT, FStr("abc") + FBool(1)), 1, nullptr);
  ASSERT_NE(msg, nullptr);
  char *text = nullptr;
  Arm(1);
  const uint32_t status = MsgGetString(msg.get(), &text);
  Disarm();
  EXPECT_EQ(status, MSG_ERR_NOMEM);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(msg->cur, MsgGetBuffer(msg.get(), nullptr, nullptr) + kHeader + 2 + 1 + 4);
}

// ---- wiping ----

struct WipeCase {
  const char *name;
  uint32_t type;
  bool wiped;
};

const WipeCase kWipeCases[] = {
    {"flags 1", 702, true},
    {"flags 3", MSGTYPE_RELOAD_LOCAL_ACCT, true},
    {"flags 0", MSGTYPE_GET_LOCAL_ACCT_MGMT, false},
    {"one-way", MSGTYPE_AUDIT_TRAIL_EVENT, false},
};

Msg *BuildSecret(uint32_t type) {
  Msg *msg = NewMsg(type, GetMsgTypeTable(), kHeader, nullptr);
  EXPECT_EQ(MsgAddString(msg, "hunter2"), MSG_OK);
  return msg;
}

TEST(MsgWipe, CompleteMessageBlockAndRecordAreZeroedBeforeFree) {
  for (const auto &c : kWipeCases) {
    Msg *msg = BuildSecret(c.type);
    ASSERT_EQ(MsgComplete(msg), MSG_OK);
    uint32_t length = 0;
    const unsigned char *block = MsgGetBuffer(msg, &length, nullptr);
    ClearWatches();
    Watch *block_watch = WatchBlock(block, length);
    Watch *record_watch = WatchBlock(msg, sizeof(Msg));
    MsgFree(msg);
    ClearWatches();
    EXPECT_EQ(block_watch->zeroed, c.wiped ? 1 : 0) << c.name;
    EXPECT_EQ(record_watch->zeroed, c.wiped ? 1 : 0) << c.name;
  }
}

TEST(MsgWipe, BuildingMessageIsZeroedBeforeFree) {
  for (const auto &c : kWipeCases) {
    Msg *msg = BuildSecret(c.type);
    ClearWatches();
    Watch *block_watch = WatchBlock(GrowBufPeek(&msg->buf), GrowBufSize(&msg->buf));
    MsgFree(msg);
    ClearWatches();
    EXPECT_EQ(block_watch->zeroed, c.wiped ? 1 : 0) << c.name;
  }
}

TEST(MsgWipe, ReceivedMessageIsZeroedWhetherCopiedOrOwned) {
  for (const auto &c : kWipeCases) {
    for (int copy : {0, 1}) {
      const std::string block = Block(static_cast<uint16_t>(c.type), FStr("hunter2"));
      Msg *msg = Receive(block, copy, nullptr).release();
      ASSERT_NE(msg, nullptr);
      ClearWatches();
      Watch *block_watch = WatchBlock(MsgGetBuffer(msg, nullptr, nullptr), block.size());
      MsgFree(msg);
      ClearWatches();
      EXPECT_EQ(block_watch->zeroed, c.wiped ? 1 : 0) << c.name << " copy=" << copy;
    }
  }
}

// realloc frees the old copy of the bytes without wiping it, so a sensitive
// message must grow and complete without it; a plain one uses it (which
// shows that the count works).
TEST(MsgWipe, SensitiveMessageNeverReallocatesAndWipesOldBlocks) {
  for (const auto &c : kWipeCases) {
    Msg *msg = BuildSecret(c.type);
    Arm(0);
    int wiped_moves = 0, moves = 0;
    for (int i = 0; i < 40; ++i) {
      ClearWatches();
      Watch *old = WatchBlock(GrowBufPeek(&msg->buf), GrowBufSize(&msg->buf));
      ASSERT_EQ(MsgAddString(msg, kLong.c_str()), MSG_OK);
      moves += old->zeroed != -1;
      wiped_moves += old->zeroed == 1;
    }
    ClearWatches();
    Watch *last = WatchBlock(GrowBufPeek(&msg->buf), GrowBufSize(&msg->buf));
    ASSERT_EQ(MsgComplete(msg), MSG_OK);
    const bool last_freed = last->zeroed != -1;
    const int last_wiped = last->zeroed;
    ClearWatches();
    EXPECT_EQ(g.reallocs == 0, c.wiped) << c.name << ": " << g.reallocs << " reallocs";
    if (c.wiped) {
      EXPECT_GT(moves, 0) << c.name;
      EXPECT_EQ(wiped_moves, moves) << c.name;
      EXPECT_TRUE(last_freed && last_wiped == 1) << c.name;
    }
    std::string expected = Block(static_cast<uint16_t>(c.type), FStr("hunter2"));
    expected.pop_back();
    for (int i = 0; i < 40; ++i) expected += FStr(kLong);
    EXPECT_EQ(Bytes(msg), expected + U8(MDT_END)) << c.name;
    MsgFree(msg);
  }
}

}  // namespace
