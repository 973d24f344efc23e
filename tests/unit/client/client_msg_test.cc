#include "client_common/client_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_common/client_unlisted.h"
#include "context_support.h"
#include "support/agent.h"

// The test links with --wrap=MsgDumpBounded, so every dump the wrapper asks
// for is counted here, with its bound, before the real one runs.
static int dump_calls = 0;
static size_t dump_bound = 0;
extern "C" char *__real_MsgDumpBounded(const Msg *msg, size_t max_chars);
extern "C" char *__wrap_MsgDumpBounded(const Msg *msg, size_t max_chars) {
  dump_calls++;
  dump_bound = max_chars;
  return __real_MsgDumpBounded(msg, max_chars);
}

// --wrap=NewCleanupList too: the calls listed in failing_lists give null, as
// when no block can be allocated for the message release list.
static int list_calls = 0;
static std::vector<int> failing_lists;
extern "C" CleanupList *__real_NewCleanupList(void);
extern "C" CleanupList *__wrap_NewCleanupList(void) {
  ++list_calls;
  for (int n : failing_lists) {
    if (n == list_calls) return nullptr;
  }
  return __real_NewCleanupList();
}

namespace {

using namespace vxtest;
using agentsim::ScriptedAgent;

// At TRACE the request and the reply are dumped and logged; above it
// nothing is dumped at all.
TEST(ClientMsg, ExchangeDumpsRequestAndReplyOnlyAtTrace) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  for (const char *level : {"trace", "debug"}) {
    const bool trace = level == std::string("trace");
    DirectContext s(std::string("log: ") + level + "\n");
    Agent agent({.path = s.files.socket});
    ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
    agent.ReplyFields(Bool(true));
    const size_t before = s.Records().size();  // the traced reads of the configuration
    EXPECT_EQ(before > 0, trace);
    dump_calls = 0;
    dump_bound = 0;
    Msg *reply = Send(&s.ctx, NewClientMsg(&s.ctx, 111));
    ASSERT_NE(reply, nullptr);
    uint32_t enabled = 0;
    EXPECT_EQ(MsgGetBool(reply, &enabled), 0u);
    EXPECT_EQ(enabled, 1u);
    EXPECT_EQ(dump_calls, trace ? 2 : 0);
    EXPECT_EQ(dump_bound, trace ? CLIENT_LOG_TEXT_SIZE - 1u : 0u) << "no more than a record can hold";
    std::vector<std::string> records = s.Records();
    records.erase(records.begin(), records.begin() + static_cast<long>(before));
    const std::vector<std::string> dumps = {"TRACE: Request: ControlGetLocalAcctMgmtStatus[]",
                                            "TRACE: Reply: ControlGetLocalAcctMgmtStatus[True]"};
    EXPECT_EQ(records, trace ? dumps : std::vector<std::string>{});
    EXPECT_EQ(agent.Frames(), std::vector<Bytes>{Frame(111)});
    EXPECT_EQ(s.ctx.messages->count, 2) << "request and reply registered";
  }
}

TEST(ClientMsg, FailuresAndTheirWarnings) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  DirectContext s("log: warning\n");  // no session opened
  EXPECT_EQ(NewClientMsg(&s.ctx, 4242), nullptr);
  EXPECT_EQ(s.ctx.messages, nullptr) << "nothing registered";
  Msg *request = NewClientMsg(&s.ctx, 111);
  ASSERT_NE(request, nullptr);
  ASSERT_EQ(MsgComplete(request), 0u);
  EXPECT_EQ(Send(&s.ctx, request), nullptr);
  ASSERT_NE(s.ctx.messages, nullptr) << "the request stays registered";
  EXPECT_EQ(s.ctx.messages->count, 1);
  EXPECT_EQ(Send(&s.ctx, NewClientMsg(&s.ctx, 111)), nullptr);
  EXPECT_EQ(s.ctx.messages, nullptr);
  const std::vector<std::string> expected = {
      "WARNING: Failed to allocate new message: Message invalid",
      "WARNING: Failed to complete message: At end of message",
      "WARNING: Failed to send message: Bad or invalid session handle, MsgType: 111.",
  };
  EXPECT_EQ(s.Records(), expected);
  EXPECT_EQ(NewClientMsg(nullptr, 111), nullptr);
  EXPECT_EQ(Send(nullptr, nullptr), nullptr);
}

// A message the release list cannot take is still sent and its reply used,
// as without the failure; the library's table of unlisted messages releases
// it with the context, also after a failed exchange. The agent says
// "disabled" (false) and answers a reload with 4.
TEST(ClientMsg, MessagesTheReleaseListCannotTakeAreSentAndReleased) {
  struct Row {
    uint32_t type;
    std::vector<int> failing;  // NewCleanupList calls that fail
    bool agent_answers;
    int unlisted;  // of the request and the reply, kept in the table after Send
  };
  const Row rows[] = {
      {111, {1}, true, 1},    {111, {2}, true, 0},  {111, {1, 2}, true, 2},
      {112, {1, 2}, true, 2}, {112, {1}, false, 0}, {111, {}, true, 0},
  };
  for (const Row &row : rows) {
    DirectContext s("log: warning\nlrpc.timeout: 1\n");
    Agent agent({.path = s.files.socket});
    ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
    agent.ReplyFields(row.type == 111 ? Bool(false) : Int(4));
    if (!row.agent_answers) agent.Silent();
    list_calls = 0;
    failing_lists = row.failing;
    Msg *request = NewClientMsg(&s.ctx, row.type);
    ASSERT_NE(request, nullptr) << row.type;
    for (int i = 0; row.type == 112 && i < 2; ++i) MsgAddBool(request, 0);
    Msg *reply = Send(&s.ctx, request);
    failing_lists.clear();
    const int unlisted = vx_client::IsUnlisted(&s.ctx, request) + vx_client::IsUnlisted(&s.ctx, reply);
    EXPECT_EQ(unlisted, row.unlisted) << row.type << " failing " << row.failing.size();
    EXPECT_EQ(agent.Frames().size(), 1u) << "the request was sent";
    if (!row.agent_answers) {
      EXPECT_EQ(reply, nullptr);
      EXPECT_EQ(s.ctx.messages, nullptr);
      continue;
    }
    ASSERT_NE(reply, nullptr);
    int32_t value = -1;
    uint32_t enabled = 9;
    EXPECT_EQ(row.type == 111 ? MsgGetBool(reply, &enabled) : MsgGetInt(reply, &value), 0u);
    EXPECT_EQ(row.type == 111 ? static_cast<int32_t>(enabled) : value, row.type == 111 ? 0 : 4);
    EXPECT_TRUE(s.Records().empty()) << "nothing is logged";
    FreeClientMessages(&s.ctx);
    EXPECT_FALSE(vx_client::IsUnlisted(&s.ctx, request) || vx_client::IsUnlisted(&s.ctx, reply));
  }
}

// With every slot of the table taken, a message the release list cannot take
// is refused as on exhausted memory rather than handed out unreleased.
TEST(ClientMsg, MessagesBeyondTheUnlistedSlotsAreRefused) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  DirectContext s("log: warning\n");
  list_calls = 0;
  for (int n = 1; n <= CLIENT_MSG_UNLISTED_MAX + 1; ++n) failing_lists.push_back(n);
  for (int i = 0; i < CLIENT_MSG_UNLISTED_MAX; ++i) ASSERT_NE(NewClientMsg(&s.ctx, 111), nullptr) << i;
  EXPECT_EQ(NewClientMsg(&s.ctx, 111), nullptr);
  failing_lists.clear();
  EXPECT_EQ(s.Records(), std::vector<std::string>{"WARNING: Failed to allocate new message: Out of memory"});
  FreeClientMessages(&s.ctx);
  failing_lists = {list_calls + 1};
  EXPECT_TRUE(vx_client::IsUnlisted(&s.ctx, NewClientMsg(&s.ctx, 111))) << "the slots were freed";
  failing_lists.clear();
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
    DirectContext s("log: warning\nlrpc.timeout: 1\n");
    Agent agent({.path = s.files.socket});
    agent.Reply([&row](const Bytes &) { return row.answers; });
    const int fds = vxtest::CountOpenFds();
    ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1) << row.name;
    const bool failed = Send(&s.ctx, NewClientMsg(&s.ctx, 111)) == nullptr;
    EXPECT_EQ(failed, *row.warning != '\0') << row.name;
    EXPECT_EQ(s.ctx.session == nullptr, failed) << row.name;
    if (!failed) continue;
    EXPECT_TRUE(agent.AwaitIdle());
    EXPECT_EQ(vxtest::CountOpenFds(), fds) << row.name << ": the socket is closed";
    EXPECT_EQ(s.Records(), std::vector<std::string>{std::string("WARNING: Failed to send message: ") +
                                                    row.warning + ", MsgType: 111."});
    EXPECT_EQ(s.ctx.messages, nullptr) << row.name << ": every message released";
    EXPECT_EQ(OpenLRPC2Session(&s.ctx), 1) << row.name;
    EXPECT_EQ(agent.Connections(), 2) << row.name << ": a new session";
    ASSERT_NE(NewClientMsg(&s.ctx, 113), nullptr);
    ASSERT_NE(s.ctx.messages, nullptr) << "a new release list";
    EXPECT_EQ(s.ctx.messages->count, 1);
  }
}

}  // namespace
