// Whole-buffer I/O, readiness waits and status texts, on socket pairs.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

// Spins (bounded) until thread `tid` of this process sleeps in the kernel.
void AwaitSleeping(pid_t tid) {
  std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    std::string s = ReadFile(stat);
    size_t close = s.rfind(')');
    if (close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'S') return;
    std::this_thread::yield();
  }
}

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

void Caught(int) {}

// Each signal caught while poll waits interrupts it; a steady stream of them
// must not stretch the wait beyond its time-out. The storm stops by itself
// after 4 s, so a stretched wait ends too, late.
TEST(LRPC2Io, SignalStormDoesNotExtendAWait) {
  struct sigaction caught = {}, previous = {};
  caught.sa_handler = Caught;
  ASSERT_EQ(sigaction(SIGUSR1, &caught, &previous), 0);
  Pair idle;
  const pthread_t waiter = pthread_self();
  std::atomic<bool> waiting{true};
  std::atomic<int> sent{0};
  std::thread storm([&] {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
         waiting && std::chrono::steady_clock::now() < end; usleep(200)) {
      pthread_kill(waiter, SIGUSR1);
      ++sent;
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RecvWait(idle.fd[0], 1), 0);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  waiting = false;
  storm.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GT(sent, 100);
  EXPECT_GE(took.count(), 0.99);
  EXPECT_LT(took.count(), 1.5) << "signals stretched the wait";
}

TEST(LRPC2Io, TimeOutZeroBlocksForTheCallAndRestoresNonBlocking) {
  Pair p;
  pid_t self = gettid();
  std::thread writer([&] {
    AwaitSleeping(self);  // the reader must be blocked in the kernel by now
    (void)!write(p.fd[1], "abcd", 4);
  });
  char buf[4];
  EXPECT_EQ(ReadFull(p.fd[0], buf, 4, 0), 0u);
  writer.join();
  EXPECT_EQ(errno, 0);
  EXPECT_TRUE(p.NonBlocking());

  std::vector<char> big(4 << 20, 'z');  // far more than the socket buffer
  std::thread reader([&] {
    std::vector<char> sink(big.size());
    for (size_t got = 0; got < sink.size();) {
      ssize_t n = read(p.fd[1], sink.data() + got, sink.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  });
  EXPECT_EQ(WriteFull(p.fd[0], big.data(), big.size(), 0), 0u);
  reader.join();
  EXPECT_TRUE(p.NonBlocking());
  p.Hangup();
  EXPECT_EQ(ReadFull(p.fd[0], buf, 4, 0), 404u);
  EXPECT_TRUE(p.NonBlocking());
}

TEST(LRPC2Io, ReadFailures) {
  Pair quiet, closing, gone;
  char buf[8];
  EXPECT_EQ(ReadFull(quiet.fd[0], buf, 8, 1), 408u);
  pid_t self = gettid();
  std::thread closer([&] {  // the peer closes while the reader waits in poll
    AwaitSleeping(self);
    closing.Hangup();
  });
  EXPECT_EQ(ReadFull(closing.fd[0], buf, 8, 5), 404u);
  closer.join();
  gone.Hangup();
  auto previous = signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(WriteFull(gone.fd[0], "abc", 3, 1), 404u);
  EXPECT_EQ(errno, EPIPE);
  signal(SIGPIPE, previous);
  EXPECT_EQ(WriteFull(gone.fd[0], "", 0, 1), 0u);
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
