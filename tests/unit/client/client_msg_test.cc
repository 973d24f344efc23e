#include "client_common/client_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "context_support.h"
#include "support/agent.h"

// The test links with --wrap=MsgDump, so every dump the wrapper asks for is
// counted here before the real one runs.
static int dump_calls = 0;
extern "C" char *__real_MsgDump(const Msg *msg);
extern "C" char *__wrap_MsgDump(const Msg *msg) {
  dump_calls++;
  return __real_MsgDump(msg);
}

namespace {

using namespace vxtest;

TEST(ClientMsg, ExchangeAtTraceWritesRequestAndReplyDumps) {
  DirectContext s("log: trace\n");
  Agent agent({.path = s.files.socket});
  ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
  agent.ReplyFields(Bool(true));
  size_t before = s.Records().size();
  dump_calls = 0;
  Msg *request = NewClientMsg(&s.ctx, 111);
  ASSERT_NE(request, nullptr);
  Msg *reply = Send(&s.ctx, request);
  ASSERT_NE(reply, nullptr);
  uint32_t enabled = 0;
  EXPECT_EQ(MsgGetBool(reply, &enabled), 0u);
  EXPECT_EQ(enabled, 1u);
  EXPECT_EQ(dump_calls, 2);
  std::vector<std::string> records = s.Records();
  ASSERT_EQ(records.size(), before + 2);
  EXPECT_EQ(records[before], "TRACE: Request: ControlGetLocalAcctMgmtStatus[]");
  EXPECT_EQ(records[before + 1], "TRACE: Reply: ControlGetLocalAcctMgmtStatus[True]");
  EXPECT_EQ(agent.Frames(), std::vector<Bytes>{Frame(111)});
  EXPECT_EQ(s.ctx.messages->count, 2) << "request and reply registered";
}

TEST(ClientMsg, AboveTraceNothingIsLoggedAndNothingDumped) {
  DirectContext s("log: debug\n");
  Agent agent({.path = s.files.socket});
  ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
  dump_calls = 0;
  Msg *request = NewClientMsg(&s.ctx, 112);
  MsgAddBool(request, 1);
  MsgAddBool(request, 0);
  EXPECT_NE(Send(&s.ctx, request), nullptr);
  EXPECT_EQ(dump_calls, 0);
  EXPECT_TRUE(s.Records().empty());
}

TEST(ClientMsg, TimeOutReleasesEveryMessage) {
  DirectContext s("log: debug\nlrpc.timeout: 1\n");
  Agent agent({.path = s.files.socket});
  ASSERT_EQ(OpenLRPC2Session(&s.ctx), 1);
  ASSERT_NE(Send(&s.ctx, NewClientMsg(&s.ctx, 111)), nullptr);
  agent.Silent();
  Msg *request = NewClientMsg(&s.ctx, 112);
  MsgAddBool(request, 0);
  MsgAddBool(request, 0);
  EXPECT_EQ(Send(&s.ctx, request), nullptr);
  EXPECT_EQ(s.ctx.messages, nullptr);
  EXPECT_EQ(s.Records(), std::vector<std::string>{
                             "WARNING: Failed to send message: Timeout during operation, MsgType: 112."});
  ASSERT_NE(NewClientMsg(&s.ctx, 113), nullptr);
  ASSERT_NE(s.ctx.messages, nullptr) << "a new release list";
  EXPECT_EQ(s.ctx.messages->count, 1);
}

TEST(ClientMsg, FailuresAndTheirWarnings) {
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

}  // namespace
