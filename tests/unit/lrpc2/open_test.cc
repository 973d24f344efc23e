// Opening a session: handshake, credential passing, and every way it fails.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "client_common/lrpc2.h"
#include "support/agent_peer.h"

namespace vxtest {
namespace {

using namespace vxtest::agent;

using Clock = std::chrono::steady_clock;

TEST(LRPC2Open, SendsHelloAndEnablesCredentialsOnANonBlockingSocket) {
  Peer peer;
  peer.Serve(B({1, 0, 0, 0}));
  uint32_t status = 1;
  LRPC2Session *s = LRPC2Open(peer.path.c_str(), GetMsgTypeTable(), 1, 1, &status);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(s->read_fd, s->write_fd);
  EXPECT_EQ(s->is_socket, 1u);
  EXPECT_EQ(s->table, GetMsgTypeTable());
  int on = 0;
  socklen_t len = sizeof on;
  ASSERT_EQ(getsockopt(s->read_fd, SOL_SOCKET, SO_PASSCRED, &on, &len), 0);
  EXPECT_EQ(on, 1);
  EXPECT_NE(fcntl(s->read_fd, F_GETFL) & O_NONBLOCK, 0);
  LRPC2Close(s);
  peer.Join();
  EXPECT_EQ(peer.hello, B({3, 0, 0, 0}));
}

TEST(LRPC2Open, RefusesUnusablePathsBeforeCreatingAnything) {
  const std::string too_long = "/" + std::string(LRPC_MAX_PATH, 'a');
  for (const char *path : {static_cast<const char *>(nullptr), "", "relative/agent.sock", too_long.c_str()}) {
    int fds = CountOpenFds();
    uint32_t status = 0;
    EXPECT_EQ(LRPC2Open(path, GetMsgTypeTable(), 1, 1, &status), nullptr);
    EXPECT_EQ(status, 400u) << (path ? path : "null");
    EXPECT_EQ(CountOpenFds(), fds);
  }
  EXPECT_EQ(LRPC2Open("x", nullptr, 1, 1, nullptr), nullptr);  // null status tolerated
}

TEST(LRPC2Open, MissingSocketFileIsSocketError) {
  TempDir dir;
  uint32_t status = 0;
  EXPECT_EQ(LRPC2Open(dir.file("none").c_str(), GetMsgTypeTable(), 1, 1, &status), nullptr);
  EXPECT_EQ(status, 405u);
  EXPECT_EQ(errno, ENOENT);
}

TEST(LRPC2Open, BadHandshakeAnswersCloseTheSocket) {
  struct Case {
    const char *name;
    Bytes answer;
    uint32_t status;
  } cases[] = {
      {"other word", B({2, 0, 0, 0}), 406},
      {"half a word, then closed", B({1, 0}), 404},
      {"closed at once", B({}), 404},
  };
  for (const Case &c : cases) {
    Peer peer;
    peer.Serve(c.answer);
    int fds = CountOpenFds();
    uint32_t status = 0;
    EXPECT_EQ(LRPC2Open(peer.path.c_str(), GetMsgTypeTable(), 1, 1, &status), nullptr) << c.name;
    EXPECT_EQ(status, c.status) << c.name;
    peer.Join();
    EXPECT_EQ(CountOpenFds(), fds) << c.name;
  }
}

TEST(LRPC2Open, UnansweredHandshakeTimesOut) {
  Peer peer;  // never accepts: the connection waits in the listen queue
  int fds = CountOpenFds();
  uint32_t status = 0;
  auto start = Clock::now();
  EXPECT_EQ(LRPC2Open(peer.path.c_str(), GetMsgTypeTable(), 1, 1, &status), nullptr);
  auto waited = Clock::now() - start;
  EXPECT_EQ(status, 408u);
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(4));
  EXPECT_EQ(CountOpenFds(), fds);
}

TEST(LRPC2Open, FullListenQueueTimesOutConnecting) {
  Peer peer(0);  // with a backlog of 0 the queue is full after one connection
  int filler = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, peer.path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(connect(filler, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
  int fds = CountOpenFds();
  for (uint32_t timeout : {0u, 1u}) {
    uint32_t status = 0;
    auto start = Clock::now();
    EXPECT_EQ(LRPC2Open(peer.path.c_str(), GetMsgTypeTable(), timeout, 1, &status), nullptr);
    auto waited = Clock::now() - start;
    EXPECT_EQ(status, 418u);
    EXPECT_GE(waited, std::chrono::milliseconds(900 * timeout));
    EXPECT_LT(waited, std::chrono::seconds(4));
    EXPECT_EQ(CountOpenFds(), fds);
  }
  close(filler);
}

}  // namespace
}  // namespace vxtest
