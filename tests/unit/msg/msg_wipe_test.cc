// The wiping of sensitive messages, how received blocks are obtained and
// given back, and a failed string copy, observed through the test
// fault injector's watched blocks, failing allocation and failing madvise
// (see CMakeLists.txt). The fault sweep of tests/unit/fault covers failures
// in building, reading and dumping otherwise.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>

#include "client_common/lrpc2.h"
#include "client_common/msg_block.h"
#include "msg_test_util.h"
#include "support/agent.h"
#include "support/fault.h"

using namespace msgtest;
using vxtest::Frame;

namespace fi = vxtest::fault;

// Linked with --wrap for vx_msg::AllocBlock (see CMakeLists.txt): while
// g_block_watch is set, every block the transport reads a reply into is
// watched from the moment it is made, however it is given back.
static fi::Watch *g_block_watch = nullptr;
extern "C" vx_msg::Block __real__ZN6vx_msg10AllocBlockEm(size_t length);
extern "C" vx_msg::Block __wrap__ZN6vx_msg10AllocBlockEm(size_t length) {
  const vx_msg::Block block = __real__ZN6vx_msg10AllocBlockEm(length);
  if (g_block_watch != nullptr) {
    *g_block_watch = fi::Watch{block.bytes, length};
    fi::WatchBlocks(g_block_watch);
  }
  return block;
}

namespace {

using fi::Release;

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
      fi::Watch bytes{block, length}, record{msg, sizeof(Msg)};
      fi::WatchBlocks(&bytes, &record);
      MsgFree(msg);
      fi::WatchBlocks(nullptr);
      EXPECT_TRUE(bytes.how == Release::kFree && bytes.zeroed == c.wiped) << "block";
      EXPECT_TRUE(record.how == Release::kFree && record.zeroed == c.wiped) << "record";
    }
  }
}

// With copy the record is allocated first, so that a failed record
// allocation never leaves a copy of the block to free unwiped.
TEST(MsgWipe, CopyOfAReceivedBlockIsMadeOnlyForARecord) {
  const std::string block = Block(MSGTYPE_RELOAD_LOCAL_ACCT, Str("hunter2"));
  fi::Arm(fi::Call::kAlloc, 0);
  MsgPtr msg = Receive(block, 1, nullptr);
  const fi::Stats made = fi::Disarm();
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(made.calls[static_cast<int>(fi::Call::kAlloc)], 2);
  EXPECT_EQ(made.first_leak_size, sizeof(Msg)) << "the record comes first";
  uint32_t status = 0;
  fi::Arm(fi::Call::kAlloc, 1);
  EXPECT_EQ(Receive(block, 1, &status), nullptr);
  EXPECT_EQ(fi::Disarm().calls[static_cast<int>(fi::Call::kAlloc)], 1) << "no copy without a record";
  EXPECT_EQ(status, MSG_ERR_NOMEM);
}

// The block a sensitive reply is read into is wiped on every way out of the
// transport: released with the message, and given back when the reply fails
// validation or stops part-way, on the heap and in a mapping (whose pages
// are written over when they cannot be dropped).
TEST(MsgWipe, ReplyBlocksAreWipedOnEveryWayOut) {
  const std::string big(MSG_MAP_THRESHOLD, 's');
  auto cut = [](const std::string &frame) { return frame.substr(0, frame.size() / 2); };
  const vxtest::Bytes large_cut = cut(Frame(MSGTYPE_LIST_LOCAL_ACCT, Str(big)));
  const struct {
    const char *name;
    vxtest::Agent::Answers answers;
    uint32_t status;
    bool mapped;
    long refused_advice;  // the madvise call that fails (the first is the huge-page advice)
  } rows[] = {
      {"answered", {Frame(MSGTYPE_LIST_LOCAL_ACCT, Str("hunter2"))}, LRPC_OK, false, 0},
      {"invalid body", {Frame(MSGTYPE_LIST_LOCAL_ACCT, Str("hunter2") + U8(9))}, LRPC_ERR_SOCKET, false, 0},
      {"cut short",
       {cut(Frame(MSGTYPE_LIST_LOCAL_ACCT, Str("hunter2"))), vxtest::Agent::kHangUp},
       LRPC_ERR_CLOSED,
       false,
       0},
      {"large, invalid body", {Frame(MSGTYPE_LIST_LOCAL_ACCT, Str(big) + U8(9))}, LRPC_ERR_SOCKET, true, 0},
      {"large, cut short", {large_cut, vxtest::Agent::kHangUp}, LRPC_ERR_CLOSED, true, 0},
      {"large, cut short, pages kept", {large_cut, vxtest::Agent::kHangUp}, LRPC_ERR_CLOSED, true, 2},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    vxtest::Agent agent;
    agent.Reply([&row](const vxtest::Bytes &) { return row.answers; });
    uint32_t status = 0;
    LRPC2Session *session = LRPC2Open(agent.path().c_str(), GetMsgTypeTable(), 2, 2, &status);
    ASSERT_NE(session, nullptr);
    MsgPtr request(NewMsg(MSGTYPE_LIST_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
    ASSERT_EQ(MsgComplete(request.get()), MSG_OK);
    fi::Watch block;
    g_block_watch = &block;
    fi::Arm(fi::Call::kMadvise, row.refused_advice, EINVAL);
    MsgFree(LRPC2Transact(session, request.get(), 2, &status));
    EXPECT_EQ(fi::Disarm().failed, row.refused_advice != 0);
    g_block_watch = nullptr;
    fi::WatchBlocks(nullptr);
    LRPC2Close(session);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(block.how, row.mapped ? Release::kUnmap : Release::kFree);
    EXPECT_TRUE(block.zeroed);
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
    int reallocs = 0, wiped_moves = 0, moves = 0;
    fi::Watch old;
    for (int i = 0; i <= 40; ++i) {
      old = fi::Watch{GrowBufPeek(&msg->buf), GrowBufSize(&msg->buf)};
      fi::WatchBlocks(&old);
      ASSERT_EQ(i < 40 ? MsgAddString(msg, kLong.c_str()) : MsgComplete(msg), MSG_OK);
      fi::WatchBlocks(nullptr);
      moves += old.how != Release::kNone;
      reallocs += old.how == Release::kRealloc;
      wiped_moves += old.how == Release::kFree && old.zeroed;
    }
    const bool completion_wiped = old.how == Release::kFree && old.zeroed;  // the block MsgComplete copied
    EXPECT_EQ(reallocs == 0, c.wiped) << reallocs << " reallocs";
    EXPECT_TRUE(!c.wiped || (moves > 1 && wiped_moves == moves && completion_wiped)) << moves;
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
    fi::Arm(fi::Call::kMadvise, c.refuse_advice ? 1 : 0, EINVAL);
    const vx_msg::Block block = vx_msg::AllocBlock(bytes.size());
    const fi::Stats advised = fi::Disarm();
    ASSERT_NE(block.bytes, nullptr);
    EXPECT_EQ(block.map != nullptr, c.mapped);
    EXPECT_EQ(advised.calls[static_cast<int>(fi::Call::kMadvise)], c.mapped ? 1 : 0);
    EXPECT_EQ(advised.advice, c.mapped ? MADV_HUGEPAGE : 0);
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
    fi::Watch w{block.bytes, bytes.size()};
    fi::WatchBlocks(&w);
    MsgFree(msg);
    fi::WatchBlocks(nullptr);
    EXPECT_EQ(w.how, c.mapped ? Release::kUnmap : Release::kFree);
    EXPECT_TRUE(w.releases == 1 && w.zeroed == c.wiped);
    EXPECT_TRUE(!c.mapped || (w.unmapped == block.map && w.unmapped_length == block.map_length));
  }
}

// A block that fails validation stays the caller's, mapped or not.
TEST(MsgBlock, InvalidBlockStaysTheCallers) {
  for (size_t size : {size_t{64}, size_t{MSG_MAP_THRESHOLD}}) {
    const vx_msg::Block block = vx_msg::AllocBlock(size);
    ASSERT_NE(block.bytes, nullptr);
    memset(block.bytes, 0x7f, size);
    uint32_t status = 0;
    fi::Watch w{block.bytes, 0};
    fi::WatchBlocks(&w);
    EXPECT_EQ(vx_msg::NewMsgFromBlock(block, static_cast<uint32_t>(size), GetMsgTypeTable(), kHeader, nullptr,
                                      &status),
              nullptr);
    EXPECT_EQ(status, MSG_ERR_INVALID);
    EXPECT_EQ(w.how, Release::kNone);
    vx_msg::ReleaseBlock(block, size);
    fi::WatchBlocks(nullptr);
    EXPECT_EQ(w.how, block.map != nullptr ? Release::kUnmap : Release::kFree);
  }
}

// A failed copy leaves the cursor after the string's length.
TEST(MsgAllocFailure, FailedStringCopyLeavesCursorAfterLength) {
  MsgPtr msg = Receive(Block(MSGTYPE_LIST_LOCAL_ACCT, Str("abc") + Bool(1)), 1, nullptr);
  ASSERT_NE(msg, nullptr);
  char *text = nullptr;
  fi::Arm(fi::Call::kAlloc, 1);
  const uint32_t status = MsgGetString(msg.get(), &text);
  ASSERT_EQ(fi::Disarm().failed, 1) << "MsgGetString did not allocate";
  EXPECT_EQ(status, MSG_ERR_NOMEM);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(msg->cur, MsgGetBuffer(msg.get(), nullptr, nullptr) + kHeader + 2 + 1 + 4);
}

}  // namespace
