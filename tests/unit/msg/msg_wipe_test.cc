// The wiping of sensitive messages, how received blocks are obtained and
// given back, and failed copies, observed through the test
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
// g_block_watch is set, the block the transport reads a reply into is
// watched from the moment it is made, however it is given back, and kept in
// g_block. The fault injector watches only blocks whose address the test
// knows, and this one is made and given back inside one LRPC2Transact.
static fi::Watch *g_block_watch = nullptr;
static vx_msg::Block g_block;
extern "C" vx_msg::Block __real__ZN6vx_msg10AllocBlockEm(size_t length);
extern "C" vx_msg::Block __wrap__ZN6vx_msg10AllocBlockEm(size_t length) {
  g_block = __real__ZN6vx_msg10AllocBlockEm(length);
  if (g_block_watch != nullptr) {
    *g_block_watch = fi::Watch{g_block.bytes, length};
    fi::WatchBlocks(g_block_watch);
  }
  return g_block;
}

namespace {

using fi::Release;

// A message holding a secret in each state MsgFree meets: building (grown
// past its first block), complete, received as a copy, received into an
// owned block. realloc frees the old copy of the bytes without wiping it,
// so a sensitive message grows and completes without it, wiping each old
// block; a plain one uses it (which shows that the count works). With copy
// the record is allocated first, so that a failed record allocation never
// leaves a copy of the block to free unwiped.
TEST(MsgWipe, SensitiveMessagesAreZeroedWhenMovedAndBeforeFree) {
  enum How { kBuilding, kComplete, kCopy, kOwned };
  const std::string kLong(600, 's');
  // Types of flags 1 and 3 are wiped, of flags 0 and 4 (one-way) not.
  const std::pair<uint16_t, bool> types[] = {
      {702, true}, {MSGTYPE_RELOAD_LOCAL_ACCT, true}, {111, false}, {MSGTYPE_AUDIT_TRAIL_EVENT, false}};
  for (const auto &[type, wiped] : types) {
    for (How how : {kBuilding, kComplete, kCopy, kOwned}) {
      SCOPED_TRACE(std::to_string(type) + ", way " + std::to_string(how));
      const std::string received = Block(type, Str("hunter2"));
      fi::Arm(fi::Call::kAlloc, 0);
      Msg *msg = how >= kCopy ? Receive(received, how == kCopy, nullptr).release()
                              : NewMsg(type, GetMsgTypeTable(), kHeader, nullptr);
      const fi::Stats made = fi::Disarm();
      ASSERT_NE(msg, nullptr);
      EXPECT_TRUE(how != kCopy || (made.calls[static_cast<int>(fi::Call::kAlloc)] == 2 &&
                                   made.first_leak_size == sizeof(Msg)))
          << "the record, then the copy";
      if (how == kCopy) {  // a failed copy of a string leaves the cursor after its length
        char *text = nullptr;
        fi::Arm(fi::Call::kAlloc, 1);
        EXPECT_EQ(MsgGetString(msg, &text), MSG_ERR_NOMEM);
        EXPECT_TRUE(fi::Disarm().failed == 1 && text == nullptr &&
                    msg->cur == msg->start + kHeader + 2 + 1 + 4);
      }
      int reallocs = 0, wiped_moves = 0, moves = 0;
      std::string expected = Block(type, Str("hunter2"), false);
      for (int i = 0; how <= kComplete && i <= 41; ++i) {  // the secret, 40 long strings, completion
        fi::Watch old{GrowBufPeek(&msg->buf), GrowBufSize(&msg->buf)};
        fi::WatchBlocks(&old);
        const uint32_t status = i == 0    ? MsgAddString(msg, "hunter2")
                                : i <= 40 ? MsgAddString(msg, kLong.c_str())
                                          : (how == kComplete ? MsgComplete(msg) : uint32_t{MSG_OK});
        ASSERT_EQ(status, MSG_OK);
        fi::WatchBlocks(nullptr);
        moves += old.how != Release::kNone;
        reallocs += old.how == Release::kRealloc;
        wiped_moves += old.how == Release::kFree && old.zeroed;
        if (i > 0 && i <= 40) expected += Str(kLong);
        EXPECT_TRUE(i < 41 || how != kComplete || (old.how == Release::kFree && old.zeroed) == wiped)
            << "the block MsgComplete copied out";
      }
      EXPECT_EQ(reallocs == 0, wiped || how >= kCopy) << reallocs << " reallocs";
      EXPECT_TRUE(!wiped || how >= kCopy || (moves > 1 && wiped_moves == moves)) << moves;
      EXPECT_TRUE(how != kComplete || Bytes(msg) == expected + U8(MDT_END));
      uint32_t length = GrowBufSize(&msg->buf);
      const void *block = how == kBuilding ? static_cast<void *>(GrowBufPeek(&msg->buf))
                                           : MsgGetBuffer(msg, &length, nullptr);
      fi::Watch bytes{block, length}, record{msg, sizeof(Msg)};
      fi::WatchBlocks(&bytes, &record);
      MsgFree(msg);
      fi::WatchBlocks(nullptr);
      EXPECT_TRUE(bytes.how == Release::kFree && bytes.zeroed == wiped) << "block";
      EXPECT_TRUE(record.how == Release::kFree && record.zeroed == wiped) << "record";
    }
  }
  uint32_t status = 0;
  const std::string received = Block(MSGTYPE_RELOAD_LOCAL_ACCT, Str("hunter2"));
  fi::Arm(fi::Call::kAlloc, 1);
  EXPECT_EQ(Receive(received, 1, &status), nullptr);
  EXPECT_EQ(fi::Disarm().calls[static_cast<int>(fi::Call::kAlloc)], 1) << "no copy without a record";
  EXPECT_EQ(status, MSG_ERR_NOMEM);
}

// The block a reply is read into: from MSG_MAP_THRESHOLD on, a 2 MiB-aligned
// mapping advised for huge pages (the reply reads the same where the
// advice is refused), else on the heap. It is given back whole (munmap of
// the whole mapping) and once, on every way out of the transport: released
// with the message, wiped first for a sensitive type, and given back wiped
// whatever the type when the reply fails validation or stops part-way (a
// mapping's pages are dropped, or written over when they cannot be).
TEST(MsgWipe, ReplyBlocksAreWipedOnEveryWayOut) {
  const std::string big(MSG_MAP_THRESHOLD, 's');
  const auto reply = [](const std::string &fields, uint16_t type = MSGTYPE_LIST_LOCAL_ACCT) {
    return Frame(type, fields);
  };
  const auto cut = [](const std::string &frame) { return frame.substr(0, frame.size() / 2); };
  const struct {
    const char *name;
    vxtest::Agent::Answers answers;
    uint32_t status;
    bool mapped, zeroed;
    long refused_advice;  // the madvise call that fails: 1 the huge-page advice, 2 the drop of the pages
  } rows[] = {
      {"answered", {reply(Str("hunter2"))}, LRPC_OK, false, true, 0},
      {"answered, plain", {reply(Str("hunter2"), MSGTYPE_GET_LOCAL_ACCT_MGMT)}, LRPC_OK, false, false, 0},
      {"large", {reply(Str(big))}, LRPC_OK, true, true, 0},
      {"large, advice refused", {reply(Str(big))}, LRPC_OK, true, true, 1},
      {"large, plain", {reply(Str(big), MSGTYPE_GET_LOCAL_ACCT_MGMT)}, LRPC_OK, true, false, 0},
      {"invalid body", {reply(Str("hunter2") + U8(9), 111)}, LRPC_ERR_SOCKET, false, true, 0},
      {"cut short", {cut(reply(Str("hunter2"))), vxtest::Agent::kHangUp}, LRPC_ERR_CLOSED, false, true, 0},
      {"large, invalid body", {reply(Str(big) + U8(9), 111)}, LRPC_ERR_SOCKET, true, true, 0},
      {"large cut short", {cut(reply(Str(big))), vxtest::Agent::kHangUp}, LRPC_ERR_CLOSED, true, true, 0},
      {"pages kept", {cut(reply(Str(big), 111)), vxtest::Agent::kHangUp}, LRPC_ERR_CLOSED, true, true, 2},
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
    MsgPtr got(LRPC2Transact(session, request.get(), 2, &status));
    const fi::Stats advised = fi::Disarm();
    char *text = nullptr;
    EXPECT_EQ(MsgGetString(got.get(), &text), row.status == LRPC_OK ? MSG_OK : MSG_ERR_INVALID);
    EXPECT_TRUE(row.status != LRPC_OK || (text != nullptr && text == (row.mapped ? big : "hunter2")));
    free(text);
    got.reset();
    g_block_watch = nullptr;
    fi::WatchBlocks(nullptr);
    LRPC2Close(session);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(advised.failed, row.refused_advice != 0);
    EXPECT_EQ(advised.advice, !row.mapped ? 0 : row.status == LRPC_OK ? MADV_HUGEPAGE : MADV_DONTNEED);
    EXPECT_TRUE(!row.mapped ||
                (reinterpret_cast<uintptr_t>(g_block.bytes) % MSG_MAP_ALIGN == 0 &&
                 block.unmapped == g_block.map && block.unmapped_length == g_block.map_length));
    EXPECT_EQ(block.how, row.mapped ? Release::kUnmap : Release::kFree);
    EXPECT_TRUE(block.releases == 1 && block.zeroed == row.zeroed);
  }
}

// A block that fails validation stays the caller's (the transport gives
// it back, see above).
TEST(MsgBlock, InvalidBlockStaysTheCallers) {
  const vx_msg::Block block = vx_msg::AllocBlock(64);
  memset(block.bytes, 0x7f, 64);
  uint32_t status = 0;
  fi::Watch w{block.bytes, 0};
  fi::WatchBlocks(&w);
  EXPECT_EQ(vx_msg::NewMsgFromBlock(block, 64, GetMsgTypeTable(), kHeader, nullptr, &status), nullptr);
  fi::WatchBlocks(nullptr);
  EXPECT_TRUE(status == MSG_ERR_INVALID && w.how == Release::kNone);
  vx_msg::ReleaseBlock(block, 0);
}

}  // namespace
