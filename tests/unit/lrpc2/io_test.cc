// Whole-buffer I/O, readiness waits and status texts, on socket pairs.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "client_common/lrpc2.h"
#include "support/agent_peer.h"

namespace vxtest {
namespace {

using namespace vxtest::agent;

struct Pair {
  int fd[2] = {-1, -1};
  Pair() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fd);
    fcntl(fd[0], F_SETFL, O_NONBLOCK);
  }
  ~Pair() {
    for (int f : fd) {
      if (f >= 0) close(f);
    }
  }
  bool NonBlocking() const { return (fcntl(fd[0], F_GETFL) & O_NONBLOCK) != 0; }
};

TEST(LRPC2Io, WaitsReportReadinessTimeOutAndHangUp) {
  Pair idle, readable, hung_up;
  Send(readable.fd[1], "x");
  close(hung_up.fd[1]);
  hung_up.fd[1] = -1;
  EXPECT_EQ(RecvWait(idle.fd[0], 0), 0);
  EXPECT_EQ(SendWait(idle.fd[0], 0), 1);
  EXPECT_EQ(RecvWait(readable.fd[0], 1), 1);
  errno = EINVAL;
  EXPECT_EQ(RecvWait(hung_up.fd[0], 1), -1);
  EXPECT_EQ(errno, 0);
  int unused = dup(idle.fd[1]);
  close(unused);
  EXPECT_EQ(SendWait(unused, 1), -1);  // POLLNVAL
}

TEST(LRPC2Io, TimeOutZeroBlocksForTheCallAndRestoresNonBlocking) {
  Pair p;
  pid_t self = gettid();
  std::thread writer([&] {
    AwaitSleeping(self);  // the reader must be blocked in the kernel by now
    Send(p.fd[1], "abcd");
  });
  char buf[4];
  EXPECT_EQ(ReadFull(p.fd[0], buf, 4, 0), 0u);
  writer.join();
  EXPECT_EQ(errno, 0);
  EXPECT_TRUE(p.NonBlocking());

  std::vector<char> big(4 << 20, 'z');  // far more than the socket buffer
  std::thread reader([&] {
    Bytes sink;
    ReadExact(p.fd[1], big.size(), &sink);
  });
  EXPECT_EQ(WriteFull(p.fd[0], big.data(), big.size(), 0), 0u);
  reader.join();
  EXPECT_TRUE(p.NonBlocking());

  close(p.fd[1]);
  p.fd[1] = -1;
  EXPECT_EQ(ReadFull(p.fd[0], buf, 4, 0), 404u);
  EXPECT_TRUE(p.NonBlocking());
}

TEST(LRPC2Io, ReadFailures) {
  Pair quiet;
  char buf[8];
  EXPECT_EQ(ReadFull(quiet.fd[0], buf, 8, 1), 408u);

  Pair closing;  // the peer closes while the reader waits in poll
  pid_t self = gettid();
  std::thread closer([&] {
    AwaitSleeping(self);
    close(closing.fd[1]);
    closing.fd[1] = -1;
  });
  EXPECT_EQ(ReadFull(closing.fd[0], buf, 8, 5), 404u);
  closer.join();

  Pair gone;
  close(gone.fd[1]);
  gone.fd[1] = -1;
  auto previous = signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(WriteFull(gone.fd[0], "abc", 3, 1), 404u);
  EXPECT_EQ(errno, EPIPE);
  signal(SIGPIPE, previous);
  EXPECT_EQ(WriteFull(gone.fd[0], "", 0, 1), 0u);
}

TEST(LRPC2Err2Str, GivesTheTextOfEveryKnownCode) {
  struct Case {
    uint32_t code;
    const char *text;
  } cases[] = {
      {400, "Socket path does not exist"},
      {401, "Cannot open socket"},
      {402, "Wrong protocol in handshake"},
      {403, "Message table version mismatch"},
      {404, "Socket closed"},
      {405, "Socket error"},
      {406, "Invalid message handle or operation"},
      {407, "Out of memory"},
      {408, "Timeout during operation"},
      {409, "Process authentication failed"},
      {410, "Process identity is not known at this point"},
      {411, "Bad or invalid session handle"},
      {412, "A timeout value is required"},
      {413, "Bad magic number in communication, potential network or byte order issue"},
      {414, "Temporary storage is running out of space"},
      {415, "Cannot open file"},
      {416, "File operation error"},
      {418, "Timeout while connecting"},
  };
  for (const Case &c : cases) EXPECT_STREQ(LRPC2Err2Str(c.code), c.text) << c.code;
  for (uint32_t code : {0u, 205u, 399u, 417u, 419u}) EXPECT_EQ(LRPC2Err2Str(code), nullptr) << code;
}

}  // namespace
}  // namespace vxtest
