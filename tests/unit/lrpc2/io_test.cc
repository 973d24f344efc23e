// Whole-buffer I/O, readiness waits and status texts, on socket pairs.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "client_common/lrpc2.h"
#include "client_common/lrpc2_io.h"
#include "support/temp_dir.h"

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
  bool NonBlocking() const { return (fcntl(fd[0], F_GETFL) & O_NONBLOCK) != 0; }
};

TEST(LRPC2Io, WaitsReportReadinessTimeOutAndHangUp) {
  Pair idle, readable, hung_up;
  ASSERT_EQ(write(readable.fd[1], "x", 1), 1);
  hung_up.Hangup();
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

// A time-out of 0 blocks without limit: the read waits for a writer that
// comes only once the reader sleeps in the kernel, and a write of far more
// than the socket buffer waits for its reader. The descriptor is non-blocking
// again afterwards, also after a failure.
TEST(LRPC2Io, TimeOutZeroBlocksForTheCallAndRestoresNonBlocking) {
  Pair p;
  const std::string stat = "/proc/self/task/" + std::to_string(gettid()) + "/stat";
  std::thread writer([&] {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < end; std::this_thread::yield()) {
      const std::string s = ReadFile(stat);  // state after the name in parentheses: S, sleeping
      if (const size_t close = s.rfind(')'); close != std::string::npos && s.substr(close + 2, 1) == "S")
        break;
    }
    (void)!write(p.fd[1], "abcd", 4);
  });
  char buf[4];
  EXPECT_EQ(ReadFull(p.fd[0], buf, 4, 0), 0u);
  writer.join();
  EXPECT_EQ(errno, 0);
  EXPECT_TRUE(p.NonBlocking());

  std::vector<char> big(4 << 20, 'z');
  std::thread reader([&] {
    std::vector<char> sink(big.size());
    for (ssize_t n = 0, got = 0; got < static_cast<ssize_t>(sink.size()); got += n)
      if ((n = read(p.fd[1], sink.data() + got, sink.size() - static_cast<size_t>(got))) <= 0) break;
  });
  EXPECT_EQ(WriteFull(p.fd[0], big.data(), big.size(), 0), 0u);
  reader.join();
  EXPECT_TRUE(p.NonBlocking());
  p.Hangup();
  EXPECT_EQ(ReadFull(p.fd[0], buf, 4, 0), 404u);
  EXPECT_TRUE(p.NonBlocking());
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
