// Sessions against the test agent: handshake, exact request bytes with
// credentials, the challenge exchange, and every way a session fails.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "client_common/lrpc2.h"
#include "client_common/msg_ptr.h"
#include "support/agent.h"

namespace vxtest {
namespace {

using Clock = std::chrono::steady_clock;
using Answers = Agent::Answers;

using vx::MsgPtr;

MsgPtr Request(uint32_t type, const std::function<void(Msg *)> &fields = {}) {
  MsgPtr m(NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr));
  if (m && fields) fields(m.get());
  if (m) MsgComplete(m.get());
  return m;
}

LRPC2Session *Open(const std::string &path, uint32_t *status = nullptr, uint32_t timeout = 1) {
  return LRPC2Open(path.c_str(), GetMsgTypeTable(), timeout, 1, status);
}

const Bytes kHello = B({3, 0, 0, 0});
const Bytes kChallenge = B({0x12, 0x80, 0xCD, 0xAB, 0x0B, 0, 0, 0, 3, 0, 0});
const Bytes kStatusRequest = B({0x12, 0x80, 0xCD, 0xAB, 0x0B, 0, 0, 0, 0x6F, 0, 0});
const Bytes kBoolReply = Frame(111, Bool(true));

void ExpectOwnCredentials(Agent &agent) {
  agentsim::Credentials c = agent.Creds();
  EXPECT_EQ(c.pid, getpid());
  EXPECT_EQ(c.uid, getuid());
  EXPECT_EQ(c.gid, getgid());
}

TEST(LRPC2Open, RefusesUnusablePathsBeforeCreatingAnything) {
  TempDir dir;
  const std::string too_long = "/" + std::string(LRPC_MAX_PATH, 'a'), missing = dir.file("none");
  const std::pair<const char *, uint32_t> cases[] = {{nullptr, 400},
                                                     {"", 400},
                                                     {"relative/agent.sock", 400},
                                                     {too_long.c_str(), 400},
                                                     {missing.c_str(), 405}};
  for (const auto &[path, expected] : cases) {
    int fds = CountOpenFds();
    uint32_t status = 0;
    EXPECT_EQ(LRPC2Open(path, GetMsgTypeTable(), 1, 1, &status), nullptr);
    EXPECT_EQ(errno == ENOENT, expected == 405) << errno;
    EXPECT_EQ(status, expected) << (path ? path : "null");
    EXPECT_EQ(CountOpenFds(), fds);
  }
  EXPECT_EQ(LRPC2Open("x", nullptr, 1, 1, nullptr), nullptr);  // null status tolerated
}

TEST(LRPC2Open, FullListenQueueTimesOutConnecting) {
  TempDir dir;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, dir.file("agent.sock").c_str(), sizeof addr.sun_path - 1);
  const auto *sa = reinterpret_cast<struct sockaddr *>(&addr);
  int listener = socket(AF_UNIX, SOCK_STREAM, 0), filler = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(listener, sa, sizeof addr), 0);
  ASSERT_EQ(listen(listener, 0), 0);  // never accepting: the queue is full after one connection
  ASSERT_EQ(connect(filler, sa, sizeof addr), 0);
  int fds = CountOpenFds();
  for (uint32_t timeout : {0u, 1u}) {
    uint32_t status = 0;
    auto start = Clock::now();
    EXPECT_EQ(Open(addr.sun_path, &status, timeout), nullptr);
    auto waited = Clock::now() - start;
    EXPECT_EQ(status, 418u);
    EXPECT_GE(waited, std::chrono::milliseconds(900 * timeout));
    EXPECT_LT(waited, std::chrono::seconds(4));
    EXPECT_EQ(CountOpenFds(), fds);
  }
  close(filler);
  close(listener);
}

// Each request leaves byte for byte after the hello, on a non-blocking
// socket that passes credentials; challenges are answered (each with an
// empty type-3 frame) up to the limit.
TEST(LRPC2Transact, RequestsLeaveByteForByteWithCredentials) {
  struct {
    const char *name;
    MsgPtr request;
    Bytes wire;
    uint32_t timeout;
    int challenges = 0;
  } cases[] = {
      {"reload",
       Request(112,
               [](Msg *m) {
                 MsgAddBool(m, 1);
                 MsgAddBool(m, 0);
               }),
       B({0x12, 0x80, 0xCD, 0xAB, 0x0F, 0, 0, 0, 0x70, 0, 1, 1, 1, 0, 0}), 0},
      {"dump root", Request(114, [](Msg *m) { MsgAddString(m, "root"); }),
       B({0x12, 0x80, 0xCD, 0xAB, 0x14, 0, 0, 0, 0x72, 0, 4, 4, 0, 0, 0, 'r', 'o', 'o', 't', 0}), 5},
      {"status", Request(111), kStatusRequest, 0},
      {"one challenge", Request(111), kStatusRequest, 5, 1},
      {"challenges up to the limit", Request(111), kStatusRequest, 5, LRPC_MAX_CHALLENGES},
      {"one challenge too many", Request(111), kStatusRequest, 5, LRPC_MAX_CHALLENGES + 1},
  };
  for (auto &c : cases) {
    Agent agent;
    agent.Reply([&c](const Bytes &) {
      Answers a(static_cast<size_t>(c.challenges), kChallenge);
      a.push_back(kBoolReply);
      return a;
    });
    uint32_t status = 1, enabled = 0;
    LRPC2Session *s = Open(agent.path(), &status);
    ASSERT_NE(s, nullptr) << c.name;
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(s->read_fd, s->write_fd);
    EXPECT_EQ(s->is_socket, 1u);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(s->read_fd, SOL_SOCKET, SO_PASSCRED, &on, &len), 0);
    EXPECT_EQ(on, 1);
    const bool over = c.challenges > LRPC_MAX_CHALLENGES;
    MsgPtr reply(LRPC2Transact(s, c.request.get(), c.timeout, &status));
    EXPECT_EQ(status, over ? 409u : 0u) << c.name;
    ASSERT_EQ(reply == nullptr, over) << c.name;
    EXPECT_EQ(reply ? MsgGetBool(reply.get(), &enabled) : 0u, 0u);
    EXPECT_EQ(enabled, over ? 0u : 1u);
    EXPECT_NE(fcntl(s->read_fd, F_GETFL) & O_NONBLOCK, 0) << c.name;
    LRPC2Close(s);
    Bytes expected = kHello + c.wire;
    for (int i = 0; i < std::min(c.challenges, LRPC_MAX_CHALLENGES); ++i) expected += kChallenge;
    EXPECT_EQ(agent.Received(), expected) << c.name;
    ExpectOwnCredentials(agent);
  }
}

// Every way a handshake answer or a reply goes wrong, down to an agent gone
// before the request (a closed socket, not SIGPIPE). The session fails at
// once or at the time-out, and leaves no descriptor behind.
TEST(LRPC2Transact, BadHandshakesAndRepliesFail) {
  const struct {
    const char *name;
    Answers welcome;
    Answers reply;
    uint32_t status;
    uint32_t timeout = 5;
  } cases[] = {
      {"other word", {B({2, 0, 0, 0})}, {}, 406},
      {"half a word, then closed", {B({1, 0}), Agent::kHangUp}, {}, 404},
      {"closed at once", {Agent::kHangUp}, {}, 404},
      {"never answered", {}, {}, 408},
      {"wrong magic", {U32(1)}, {Frame(111, Bool(true), 0xABCD8013u)}, 405},
      {"invalid body (tag 9)", {U32(1)}, {Frame(111, B({9}))}, 405},
      {"announced length 7", {U32(1)}, {U32(LRPC_MAGIC) + U32(7)}, 405},
      {"announced length over the bound", {U32(1)}, {U32(LRPC_MAGIC) + U32(LRPC_MAX_FRAME + 1)}, 405},
      {"announced length at the bound, then closed",
       {U32(1)},
       {U32(LRPC_MAGIC) + U32(LRPC_MAX_FRAME), Agent::kHangUp},
       404},
      {"closed mid-reply", {U32(1)}, {kBoolReply.substr(0, 10), Agent::kHangUp}, 404},
      {"closed without reply", {U32(1)}, {Agent::kHangUp}, 404},
      {"no reply within the time-out", {U32(1)}, {}, 408, 1},
      {"closed after the handshake", {U32(1), Agent::kHangUp}, {kBoolReply}, 404, 1},
  };
  auto previous = signal(SIGPIPE, SIG_DFL);
  for (const auto &c : cases) {
    Agent agent({.welcome = c.welcome});
    agent.Reply([&c](const Bytes &) { return c.reply; });
    const int fds = CountOpenFds();
    uint32_t status = 0;
    const auto start = Clock::now();
    LRPC2Session *s = Open(agent.path(), &status);
    EXPECT_EQ(s != nullptr, !c.welcome.empty() && c.welcome[0] == U32(1)) << c.name;
    if (s != nullptr) {
      if (c.welcome.size() > 1) {
        ASSERT_TRUE(agent.AwaitIdle());  // the agent has closed its end
      }
      MsgPtr request = Request(111);
      EXPECT_EQ(LRPC2Transact(s, request.get(), c.timeout, &status), nullptr) << c.name;
      LRPC2Close(s);
    }
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << c.name;
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.status == 408 ? 900 : 0));
    EXPECT_TRUE(agent.AwaitIdle());
    EXPECT_EQ(CountOpenFds(), fds) << c.name;
  }
  signal(SIGPIPE, previous);
}

TEST(LRPC2Transact, OneWayRequestReturnsAtOnceWithoutReply) {
  Agent agent;  // would answer, but the client must not wait for it
  LRPC2Session *s = Open(agent.path());
  ASSERT_NE(s, nullptr);
  MsgPtr request = Request(MSGTYPE_AUDIT_TRAIL_EVENT, [](Msg *m) { MsgAddInt(m, 2000); });
  uint32_t status = 1;
  agent.Silent();
  auto start = Clock::now();
  EXPECT_EQ(LRPC2Transact(s, request.get(), 5, &status), nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(agent.WaitFrames(1).at(0), Frame(1200, Int(2000)));
  LRPC2Close(s);
}

TEST(LRPC2Transact, RefusesMissingSessionOrUnfinishedRequest) {
  MsgPtr complete = Request(111);
  uint32_t status = 0;
  MsgPtr building(NewMsg(111, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status));
  LRPC2Session fake = {-1, -1, GetMsgTypeTable(), 1};
  EXPECT_EQ(LRPC2Transact(nullptr, complete.get(), 1, &status), nullptr);
  EXPECT_EQ(status, 411u);
  for (Msg *m : {static_cast<Msg *>(nullptr), building.get()}) {
    EXPECT_EQ(LRPC2Transact(&fake, m, 1, &status), nullptr);
    EXPECT_EQ(status, 406u);
  }
  EXPECT_EQ(LRPC2Transact(nullptr, nullptr, 1, nullptr), nullptr);
}

}  // namespace
}  // namespace vxtest
