// Whole-buffer I/O, readiness waits and status texts, on socket pairs.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client_common/lrpc2.h"
#include "client_common/lrpc2_io.h"

namespace vxtest {
namespace {

struct Pair {
  int fd[2] = {-1, -1};
  Pair() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fd);
    fcntl(fd[0], F_SETFL, O_NONBLOCK);
  }
  ~Pair() {
    Hangup();
    close(fd[0]);
  }
  void Hangup() {
    if (fd[1] >= 0) close(fd[1]);
    fd[1] = -1;
  }
};

TEST(LRPC2Io, WaitsReportReadinessTimeOutAndHangUp) {
  Pair idle, readable, hung_up;
  ASSERT_EQ(write(readable.fd[1], "x", 1), 1);
  hung_up.Hangup();
  EXPECT_EQ(RecvWait(idle.fd[0], 0), 0);
  EXPECT_EQ(SendWait(idle.fd[0], 0), 1);
  EXPECT_EQ(RecvWait(readable.fd[0], 1), 1);
  char byte = 0;  // the whole-buffer calls with a plain time-out (0: none)
  EXPECT_EQ(ReadFull(readable.fd[0], &byte, 1, 0) + WriteFull(idle.fd[0], &byte, 1, 1), 0u);
  errno = EINVAL;
  EXPECT_EQ(RecvWait(hung_up.fd[0], 1), -1);
  EXPECT_EQ(errno, 0);
  int unused = dup(idle.fd[1]);
  close(unused);
  EXPECT_EQ(SendWait(unused, 1), -1);  // POLLNVAL
}

// Samples at both ends of the table and around its one gap (417).
TEST(LRPC2Err2Str, GivesTheTextOfKnownCodesAndNullForOthers) {
  const std::pair<uint32_t, const char *> cases[] = {
      {400, "Socket path does not exist"},
      {407, "Out of memory"},
      {413, "Bad magic number in communication, potential network or byte order issue"},
      {416, "File operation error"},
      {418, "Timeout while connecting"},
      {419, "Peer is neither root nor the calling user"},
  };
  for (const auto &[code, text] : cases) EXPECT_STREQ(LRPC2Err2Str(code), text) << code;
  for (uint32_t code : {0u, 205u, 399u, 417u, 420u}) EXPECT_EQ(LRPC2Err2Str(code), nullptr) << code;
}

}  // namespace
}  // namespace vxtest
