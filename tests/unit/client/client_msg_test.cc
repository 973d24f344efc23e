#include "client_common/client_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_common/client_unlisted.h"
#include "context_support.h"
#include "support/agent.h"
#include "support/fault.h"

namespace {

using namespace vxtest;
using agentsim::ScriptedAgent;
using vx_client::IsUnlisted;
namespace fi = vxtest::fault;

// Runs `f` and gives the number of allocations it made.
template <typename F>
long Allocations(F f, long failing = 0) {
  fi::Arm(fi::Call::kAlloc, failing);
  f();
  const fi::Stats stats = fi::Disarm();
  EXPECT_EQ(stats.failed, failing != 0 ? 1 : 0);
  return stats.calls[static_cast<int>(fi::Call::kAlloc)];
}

// NewClientMsg when no block can be had for the release list: with no list
// in the context, making the list is the last allocation, after the
// message's own.
Msg *NewUnlistedMsg(ClientContext *ctx, uint32_t type) {
  EXPECT_EQ(ctx->messages, nullptr);
  const long own = Allocations([&] { MsgFree(NewMsg(type, ctx->msg_types, LRPC_HEADER_SIZE, nullptr)); });
  Msg *msg = nullptr;
  Allocations([&] { msg = NewClientMsg(ctx, type); }, own + 1);
  return msg;
}

// At TRACE the request and the reply are dumped and logged, each only as
// far as a record holds; above it nothing is dumped at all. Seen in the
// allocations of Send: at TRACE those of the two bounded dumps on top of
// the exchange's own, whatever the size of the reply.
TEST(ClientMsg, ExchangeDumpsRequestAndReplyOnlyAtTrace) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  long exchange = -1;  // allocations of the exchange alone
  for (const char *level : {"debug", "trace"}) {
    for (size_t entries : {size_t{1}, size_t{5000}}) {
      SCOPED_TRACE(std::string(level) + ", " + std::to_string(entries) + " entries");
      const bool trace = level == std::string("trace");
      DirectContext s(std::string("log: ") + level + "\n");
      Agent agent({.path = s.files.socket});
      ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
      agent.ReplyFields(Set(std::vector<std::string>(entries, "root:x:0:0::/root:/bin/sh")));
      Msg *request = NewClientMsg(&s.ctx, 113), *reply = nullptr;
      const size_t before = s.Records().size();  // the traced reads of the configuration
      const long allocations = Allocations([&] { reply = Send(&s.ctx, request); });
      ASSERT_NE(reply, nullptr);
      const long dumps = Allocations([&] {
        for (const Msg *m : {request, reply}) free(MsgDumpBounded(m, CLIENT_LOG_TEXT_SIZE - 1));
      });
      if (exchange < 0) exchange = allocations;
      EXPECT_EQ(allocations, exchange + (trace ? dumps : 0));
      char *dump = MsgDump(reply);
      const std::vector<std::string> dumped = {"TRACE: Request: ControlListLocalAccount[]",
                                               "TRACE: " + ("Reply: " + std::string(dump)).substr(0, 509)};
      free(dump);
      std::vector<std::string> records = s.Records();
      records.erase(records.begin(), records.begin() + static_cast<long>(before));
      EXPECT_EQ(records, trace ? dumped : std::vector<std::string>{});
      EXPECT_EQ(agent.Frames(), std::vector<Bytes>{Frame(113)});
      EXPECT_EQ(FreeClientContext(&s.ctx), 0u);
      const ClientContext &c = s.ctx;  // left empty, so freeing it again is harmless
      EXPECT_TRUE(c.session == nullptr && c.log == nullptr && c.properties == nullptr &&
                  c.process_name == nullptr && c.messages == nullptr);
    }
  }
}

// Each failure is warned of. Without a session, a request that could not
// be completed stays registered; one that could not be sent is released
// with every other message. A message the release list cannot take (no
// block for it) is kept in the library's table of unlisted messages: it is
// sent and its reply used as without the failure, and it is released with
// the context's messages, also after a failed exchange. With every slot of
// the table taken, such a message is refused as on exhausted memory rather
// than handed out unreleased.
TEST(ClientMsg, FailuresAreWarnedAndLeaveNoMessageUnreleased) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  DirectContext s("log: warning\nlrpc.timeout: 1\n");
  EXPECT_TRUE(NewClientMsg(&s.ctx, 4242) == nullptr && s.ctx.messages == nullptr);
  Msg *request = NewClientMsg(&s.ctx, 111), *reply = nullptr;
  ASSERT_EQ(MsgComplete(request), 0u);
  EXPECT_EQ(Send(&s.ctx, request), nullptr);
  EXPECT_TRUE(s.ctx.messages != nullptr && s.ctx.messages->count == 1) << "the request stays registered";
  EXPECT_EQ(Send(&s.ctx, NewClientMsg(&s.ctx, 111)), nullptr);
  EXPECT_EQ(s.ctx.messages, nullptr);
  EXPECT_TRUE(NewClientMsg(nullptr, 111) == nullptr && Send(nullptr, nullptr) == nullptr);

  Agent agent({.path = s.files.socket});
  ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
  agent.ReplyFields(Bool(false));  // management disabled
  uint32_t enabled = 9;
  request = NewUnlistedMsg(&s.ctx, 111);
  EXPECT_TRUE(IsUnlisted(&s.ctx, request));
  const long send = Allocations([&] { reply = Send(&s.ctx, request); });  // the reply starts a list
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(MsgGetBool(reply, &enabled) == MSG_OK && enabled == 0);
  EXPECT_TRUE(s.ctx.messages != nullptr && !IsUnlisted(&s.ctx, reply));
  FreeClientMessages(&s.ctx);
  EXPECT_FALSE(IsUnlisted(&s.ctx, request));

  request = NewUnlistedMsg(&s.ctx, 111);
  Allocations([&] { reply = Send(&s.ctx, request); }, send);  // nor for the reply
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(MsgGetBool(reply, &enabled) == MSG_OK && enabled == 0);
  EXPECT_TRUE(IsUnlisted(&s.ctx, request) && IsUnlisted(&s.ctx, reply));
  FreeClientMessages(&s.ctx);
  EXPECT_FALSE(IsUnlisted(&s.ctx, request) || IsUnlisted(&s.ctx, reply));

  agent.Silent();
  request = NewUnlistedMsg(&s.ctx, 111);
  reply = Send(&s.ctx, request);
  EXPECT_EQ(reply, nullptr);
  EXPECT_FALSE(s.ctx.messages != nullptr || IsUnlisted(&s.ctx, request) || IsUnlisted(&s.ctx, reply));

  agent.ReplyFields(Bool(false));
  ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
  std::vector<Msg *> unlisted;
  for (int i = 0; i < CLIENT_MSG_UNLISTED_MAX; ++i) unlisted.push_back(NewUnlistedMsg(&s.ctx, 111));
  EXPECT_EQ(NewUnlistedMsg(&s.ctx, 111), nullptr);
  Allocations([&] { reply = Send(&s.ctx, unlisted[0]); }, send);
  EXPECT_EQ(reply, nullptr) << "a reply that cannot be kept";
  for (Msg *m : unlisted) EXPECT_FALSE(IsUnlisted(&s.ctx, m));
  EXPECT_TRUE(IsUnlisted(&s.ctx, NewUnlistedMsg(&s.ctx, 111))) << "the slots were freed";
  EXPECT_EQ(s.Records(), (std::vector<std::string>{
                             "WARNING: Failed to allocate new message: Message invalid",
                             "WARNING: Failed to complete message: At end of message",
                             "WARNING: Failed to send message: Bad or invalid session handle, MsgType: 111.",
                             "WARNING: Failed to send message: Timeout during operation, MsgType: 111.",
                             "WARNING: Failed to allocate new message: Out of memory",
                             "WARNING: Failed to send message: Out of memory, MsgType: 111.",
                         }));
  EXPECT_EQ(agent.Count(111), 4) << "every request was sent";
}

// A transaction that failed in transport leaves the stream at an unknown
// place: Send releases every message, closes the session (its socket too),
// and the context opens a new one on request. A reply without the fields
// the caller wants keeps it.
TEST(ClientMsg, TransportFailureClosesTheSession) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const struct {
    const char *name;
    ScriptedAgent::Answers answers;
    const char *warning;  // empty: the exchange succeeds
  } rows[] = {
      {"answered without fields", {Frame(111)}, ""},
      {"silent", {}, "Timeout during operation"},
      {"hang-up", {ScriptedAgent::kHangUp}, "Socket closed"},
      {"invalid body", {Frame(111, U8(9))}, "Socket error"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    DirectContext s("log: warning\nlrpc.timeout: 1\n");
    Agent agent({.path = s.files.socket});
    agent.Reply([&row](const Bytes &) { return row.answers; });
    const int fds = vxtest::CountOpenFds();
    ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
    const bool failed = Send(&s.ctx, NewClientMsg(&s.ctx, 111)) == nullptr;
    EXPECT_EQ(failed, *row.warning != '\0');
    EXPECT_EQ(s.ctx.session == nullptr, failed);
    if (!failed) continue;
    EXPECT_TRUE(agent.AwaitIdle());
    EXPECT_EQ(vxtest::CountOpenFds(), fds) << "the socket is closed";
    EXPECT_EQ(s.Records(), std::vector<std::string>{std::string("WARNING: Failed to send message: ") +
                                                    row.warning + ", MsgType: 111."});
    EXPECT_EQ(s.ctx.messages, nullptr) << "every message released";
    EXPECT_EQ(OpenLRPC2Session(&s.ctx), 1);
    EXPECT_EQ(agent.Connections(), 2) << "a new session";
    ASSERT_NE(NewClientMsg(&s.ctx, 113), nullptr);
    EXPECT_TRUE(s.ctx.messages != nullptr && s.ctx.messages->count == 1) << "a new release list";
  }
}

}  // namespace
