// Sessions against the test agent: handshake, exact request bytes with
// credentials, the challenge exchange, and every way a session fails.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

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

// A listener that never accepts, its queue of one taken by a filler: a
// connect waits for a slot until one is freed, and is never answered.
class FullQueue {
 public:
  FullQueue() {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const auto *sa = reinterpret_cast<struct sockaddr *>(&addr);
    EXPECT_EQ(bind(listener_, sa, sizeof addr), 0);
    EXPECT_EQ(listen(listener_, 0), 0);
    EXPECT_EQ(connect(filler_, sa, sizeof addr), 0);
  }
  ~FullQueue() {
    Settle();
    close(filler_);
    close(listener_);
  }
  // Takes the filler off the queue after `delay`, which lets one more in.
  void FreeSlotAfter(std::chrono::milliseconds delay) {
    freer_ = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      accepted_ = accept(listener_, nullptr, nullptr);
    });
  }
  // Waits for the freeing and closes what it accepted.
  void Settle() {
    if (freer_.joinable()) freer_.join();
    if (accepted_ >= 0) close(accepted_);
    accepted_ = -1;
  }

  TempDir dir;
  const std::string path = dir.file("agent.sock");

 private:
  int listener_ = socket(AF_UNIX, SOCK_STREAM, 0), filler_ = socket(AF_UNIX, SOCK_STREAM, 0);
  int accepted_ = -1;
  std::thread freer_;
};

// A peer that takes its time over every byte holds each step only until its
// deadline, counted from the step's start: the open (connect and handshake
// together), or the transaction (request, challenges and reply together).
TEST(LRPC2Deadlines, SlowPeerEndsEachStepAtItsDeadline) {
  enum Step { kOpen, kTransact };
  const struct {
    const char *name;
    Step step;
    std::vector<std::string> faults;  // of the agent; none: a full listen queue instead
    uint32_t status;
    double at;  // seconds from the step's start
    uint32_t timeout = 1;
    int free_slot_ms = -1;     // the full queue lets the connect in after this long
    size_t request_bytes = 0;  // a string of this size in the request
    int challenges = 0;
  } cases[] = {
      {"queue stays full, no wait", kOpen, {}, 418, 0, 0},
      {"queue stays full", kOpen, {}, 418, 1},
      {"queue frees a slot late, handshake unanswered", kOpen, {}, 408, 1, 1, 600},
      {"handshake answer trickled", kOpen, {"handshake:trickle=0.4"}, 408, 1},
      {"request read slowly", kTransact, {"any:slow-read=0.05"}, 408, 1, 1, -1, 1u << 20},
      {"reply trickled", kTransact, {"any:trickle=0.3"}, 408, 1},
      {"challenge, then the reply trickled", kTransact, {"any:trickle=0.3"}, 408, 1, 1, -1, 0, 1},
  };
  for (const auto &c : cases) {
    std::optional<FullQueue> queue;
    std::optional<Agent> agent;
    if (c.faults.empty()) {
      queue.emplace();
      if (c.free_slot_ms >= 0) queue->FreeSlotAfter(std::chrono::milliseconds(c.free_slot_ms));
    } else {
      agent.emplace(Agent::Options{.faults = c.faults});
      agent->Reply([&c](const Bytes &) {
        Answers a(static_cast<size_t>(c.challenges), kChallenge);
        a.push_back(kBoolReply);
        return a;
      });
    }
    const int fds = CountOpenFds();
    uint32_t status = 0;
    auto start = Clock::now();
    LRPC2Session *s = Open(queue ? queue->path : agent->path(), &status, c.timeout);
    if (c.step == kTransact) {
      ASSERT_NE(s, nullptr) << c.name;
      const std::string text(c.request_bytes, 'x');
      MsgPtr request = Request(111, [&text](Msg *m) { MsgAddString(m, text.c_str()); });
      start = Clock::now();
      EXPECT_EQ(LRPC2Transact(s, request.get(), c.timeout, &status), nullptr) << c.name;
    } else {
      EXPECT_EQ(s, nullptr) << c.name;
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    LRPC2Close(s);
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_GE(took.count(), c.at - 0.05) << c.name;
    EXPECT_LT(took.count(), c.at + 0.4) << c.name;
    if (queue) queue->Settle();
    EXPECT_TRUE(!agent || agent->AwaitIdle()) << c.name;
    EXPECT_EQ(CountOpenFds(), fds) << c.name;
  }
}

// Runs `fn` on a thread of its own whose effective user is `euid`: the raw
// system call changes the credentials of the calling thread only.
void AsUser(uid_t euid, const std::function<void()> &fn) {
  std::thread([&] {
    ASSERT_EQ(syscall(SYS_setresuid, -1, euid, -1), 0);
    fn();
    ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0);
  }).join();
}

// Whoever made the listening socket must be root or the caller's effective
// user; an impostor is refused before the hello, and named.
TEST(LRPC2Open, RefusesAPeerThatIsNeitherRootNorTheCaller) {
  if (geteuid() != 0) GTEST_SKIP() << "skipped: needs root to listen and connect as other users";
  constexpr uid_t kOther = 65534, kThird = 65533;
  const struct {
    const char *name;
    uid_t agent, caller;
    uint32_t status;
  } cases[] = {
      {"root's agent, root", 0, 0, 0},
      {"root's agent, another user", 0, kOther, 0},
      {"the caller's own agent", kOther, kOther, 0},
      {"another user's agent, root", kOther, 0, 419},
      {"another user's agent, a third user", kThird, kOther, 419},
  };
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // users other than root make and reach the socket
  for (const auto &c : cases) {
    std::optional<Agent> agent;
    AsUser(c.agent, [&] { agent.emplace(Agent::Options{.path = dir.file("agent.sock")}); });
    ASSERT_TRUE(agent) << c.name;
    const int fds = CountOpenFds();
    uint32_t status = 1;
    int refused = -1;
    pid_t pid = 0;
    uid_t uid = 0;
    AsUser(c.caller, [&] {
      LRPC2Close(Open(agent->path(), &status));
      EXPECT_EQ(status == 419 ? errno : EPERM, EPERM);
      refused = LRPC2RefusedPeer(&pid, &uid);
    });
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(refused, c.status == 419 ? 1 : 0) << c.name;
    EXPECT_EQ(uid, c.status == 419 ? c.agent : 0) << c.name;
    EXPECT_EQ(pid, c.status == 419 ? getpid() : 0) << c.name;
    EXPECT_EQ(agent->Connections(), c.status == 419 ? 0 : 1) << c.name << ": hello sent";
    EXPECT_TRUE(agent->AwaitIdle());
    EXPECT_EQ(CountOpenFds(), fds) << c.name;
  }
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
