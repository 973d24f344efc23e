// Transactions against the scripted peer: exact bytes, credentials, the
// challenge exchange, and replies that must fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>

#include "client_common/lrpc2.h"
#include "support/agent_peer.h"

namespace vxtest {
namespace {

using namespace vxtest::agent;

struct MsgFreer {
  void operator()(Msg *m) const { MsgFree(m); }
};
using MsgPtr = std::unique_ptr<Msg, MsgFreer>;

MsgPtr Request(uint32_t type, const std::function<void(Msg *)> &fields = {}) {
  uint32_t status = 0;
  MsgPtr m(NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status));
  if (m && fields) fields(m.get());
  if (m) MsgComplete(m.get());
  return m;
}

const Bytes kChallenge = B({0x12, 0x80, 0xCD, 0xAB, 0x0B, 0, 0, 0, 3, 0, 0});
const Bytes kStatusRequest = B({0x12, 0x80, 0xCD, 0xAB, 0x0B, 0, 0, 0, 0x6F, 0, 0});
const Bytes kBoolReply = Frame(111, B({1, 1}));

// Opens a session to a peer that answers the handshake and runs `script`.
LRPC2Session *OpenTo(Peer &peer, std::function<void(Peer &, int)> script) {
  peer.Serve(B({1, 0, 0, 0}), std::move(script));
  return LRPC2Open(peer.path.c_str(), GetMsgTypeTable(), 1, 1, nullptr);
}

TEST(LRPC2Transact, RequestsLeaveByteForByteWithCredentials) {
  struct Case {
    const char *name;
    MsgPtr request;
    Bytes wire;
    uint32_t timeout;
  } cases[] = {
      {"reload", Request(112, [](Msg *m) { MsgAddBool(m, 1);
         MsgAddBool(m, 0); }),
       B({0x12, 0x80, 0xCD, 0xAB, 0x0F, 0, 0, 0, 0x70, 0, 1, 1, 1, 0, 0}), 0},
      {"dump root", Request(114, [](Msg *m) { MsgAddString(m, "root"); }),
       B({0x12, 0x80, 0xCD, 0xAB, 0x14, 0, 0, 0, 0x72, 0, 4, 4, 0, 0, 0, 'r', 'o', 'o', 't', 0}), 5},
      {"status", Request(111), kStatusRequest, 0},
  };
  for (Case &c : cases) {
    Peer peer;
    LRPC2Session *s = OpenTo(peer, [](Peer &p, int conn) {
      if (ReadFrame(conn, &p.got, &p.creds)) Send(conn, kBoolReply);
    });
    ASSERT_NE(s, nullptr) << c.name;
    uint32_t status = 1, enabled = 0;
    MsgPtr reply(LRPC2Transact(s, c.request.get(), c.timeout, &status));
    ASSERT_NE(reply, nullptr) << c.name;
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(MsgGetBool(reply.get(), &enabled), 0u);
    EXPECT_EQ(enabled, 1u);
    EXPECT_NE(fcntl(s->read_fd, F_GETFL) & O_NONBLOCK, 0) << c.name;
    LRPC2Close(s);
    peer.Join();
    EXPECT_EQ(peer.got, c.wire) << c.name;
    EXPECT_EQ(peer.creds.pid, getpid());
    EXPECT_EQ(peer.creds.uid, getuid());
    EXPECT_EQ(peer.creds.gid, getgid());
  }
}

TEST(LRPC2Transact, ChallengesAreAnsweredUpToTheLimit) {
  for (int challenges : {1, LRPC_MAX_CHALLENGES, LRPC_MAX_CHALLENGES + 1}) {
    Peer peer;
    LRPC2Session *s = OpenTo(peer, [challenges](Peer &p, int conn) {
      if (!ReadFrame(conn, &p.got, &p.creds)) return;
      for (int i = 0; i < challenges; ++i) {
        Send(conn, kChallenge);
        if (i < LRPC_MAX_CHALLENGES && !ReadFrame(conn, &p.got)) return;
      }
      Send(conn, kBoolReply);
    });
    ASSERT_NE(s, nullptr);
    MsgPtr request = Request(111);
    uint32_t status = 1, type = 0;
    MsgPtr reply(LRPC2Transact(s, request.get(), 5, &status));
    bool over = challenges > LRPC_MAX_CHALLENGES;
    EXPECT_EQ(status, over ? 409u : 0u) << challenges;
    ASSERT_EQ(reply == nullptr, over);
    if (reply) {
      EXPECT_EQ(MsgGetType(reply.get(), &type), 0u);
    }
    EXPECT_EQ(type, over ? 0u : 111u);
    LRPC2Close(s);
    peer.Join();
    Bytes expected = kStatusRequest;
    for (int i = 0; i < challenges && i < LRPC_MAX_CHALLENGES; ++i) expected += kChallenge;
    EXPECT_EQ(peer.got, expected) << challenges;
    EXPECT_EQ(peer.creds.pid, getpid());
  }
}

TEST(LRPC2Transact, BadRepliesFail) {
  struct Case {
    const char *name;
    Bytes reply;  // sent after the request; the peer then closes
    uint32_t status;
    uint32_t timeout = 5;
  } cases[] = {
      {"wrong magic", Frame(111, B({1, 1}), 0xABCD8013u), 405},
      {"invalid body (tag 9)", Frame(111, B({9})), 405},
      {"announced length 7", U32(LRPC_MAGIC) + U32(7), 405},
      {"announced length over the bound", U32(LRPC_MAGIC) + U32(LRPC_MAX_FRAME + 1), 405},
      {"announced length at the bound, then closed", U32(LRPC_MAGIC) + U32(LRPC_MAX_FRAME), 404},
      {"closed mid-reply", kBoolReply.substr(0, 10), 404},
      {"closed without reply", B({}), 404},
      {"no reply within the time-out", B({}), 408, 1},
  };
  for (const Case &c : cases) {
    Peer peer;
    bool hold = c.status == 408;
    LRPC2Session *s = OpenTo(peer, [&c, hold](Peer &p, int conn) {
      if (!ReadFrame(conn, &p.got)) return;
      Send(conn, c.reply);
      if (hold) AwaitEof(conn);
    });
    ASSERT_NE(s, nullptr) << c.name;
    MsgPtr request = Request(111);
    uint32_t status = 0;
    EXPECT_EQ(LRPC2Transact(s, request.get(), c.timeout, &status), nullptr) << c.name;
    EXPECT_EQ(status, c.status) << c.name;
    LRPC2Close(s);
    peer.Join();
  }
}

TEST(LRPC2Transact, OneWayRequestReturnsAtOnceWithoutReply) {
  Peer peer;
  LRPC2Session *s = OpenTo(peer, [](Peer &p, int conn) {
    if (ReadFrame(conn, &p.got)) AwaitEof(conn);  // never replies
  });
  ASSERT_NE(s, nullptr);
  MsgPtr request = Request(MSGTYPE_AUDIT_TRAIL_EVENT, [](Msg *m) { MsgAddInt(m, 2000); });
  uint32_t status = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LRPC2Transact(s, request.get(), 5, &status), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(status, 0u);
  LRPC2Close(s);
  peer.Join();
  EXPECT_EQ(peer.got, Frame(1200, B({2, 0xD0, 0x07, 0, 0})));
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

TEST(LRPC2Transact, VanishedPeerIsClosedSocketNotSigpipe) {
  auto previous = signal(SIGPIPE, SIG_DFL);
  Peer peer;
  LRPC2Session *s = OpenTo(peer, {});
  ASSERT_NE(s, nullptr);
  peer.Join();  // the peer has closed its end
  MsgPtr request = Request(111);
  uint32_t status = 0;
  EXPECT_EQ(LRPC2Transact(s, request.get(), 1, &status), nullptr);
  EXPECT_EQ(status, 404u);
  LRPC2Close(s);
  signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace vxtest
