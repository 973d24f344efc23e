// What the e2e suite cannot see of vxagent-sim, which it only meets through
// one command per connection: connections are served independently (one
// left waiting, one sending garbage, one working), and a reload replaces the
// list replies the agent prepared when it read its data.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_common/msg.h"
#include "support/agent.h"

namespace {

using vxtest::Frame;
using vxtest::Str;
using vxtest::U32;

constexpr int kWaitMs = 10000;

// Exactly n bytes within the bound; empty on end of stream or time-out.
std::string ReadExactly(int fd, size_t n) {
  std::string out(n, '\0');
  for (size_t got = 0; got < n;) {
    pollfd p{fd, POLLIN, 0};
    const ssize_t r = poll(&p, 1, kWaitMs) == 1 ? read(fd, out.data() + got, n - got) : -1;
    if (r <= 0) return {};
    got += static_cast<size_t>(r);
  }
  return out;
}

bool Send(int fd, const std::string &bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// A connection that has done the handshake, or -1.
int Connect(const std::string &path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && Send(fd, U32(3)) &&
      ReadExactly(fd, 4) == U32(1))
    return fd;
  close(fd);
  return -1;
}

// Sends a request frame and returns the entries of its list reply;
// "<no reply>" when none arrives.
std::vector<std::string> Request(int fd, const std::string &request) {
  std::string frame = ReadExactly(fd, Send(fd, request) ? 8 : 0);
  uint32_t total = 0;
  if (frame.size() == 8) memcpy(&total, frame.data() + 4, 4);
  if (total <= 8 || total > (1u << 20) || (frame += ReadExactly(fd, total - 8)).size() != total) return {"<no reply>"};
  Msg *msg = NewMsgFromBuffer(frame.data(), total, 1, GetMsgTypeTable(), 8, nullptr);
  char **set = nullptr;
  std::vector<std::string> out;
  if (MsgGetInt(msg, nullptr) == MSG_OK && MsgGetStringSet(msg, &set) == MSG_OK)
    for (char **p = set; *p != nullptr; ++p) out.emplace_back(*p), free(*p);
  free(set);
  MsgFree(msg);
  return out;
}

TEST(AgentSim, ConnectionsAreServedIndependentlyAndReloadReplacesLists) {
  vxtest::TempDir dir;
  dir.write("passwd", "alice:x:1:1::/h:/bin/sh\nbob:x:2:2::/h:/bin/sh\n");
  dir.write("remove", "bob\n");
  const std::string sock = dir.file("d2"), kest = dir.file("d"), rec = dir.file("rec");
  const std::string ready = "ready " + sock + " " + kest + "\n";
  const char *argv[] = {VXAGENT_SIM_PATH, "--socket", sock.c_str(), "--kest-socket", kest.c_str(), "--data",
                        dir.path().c_str(), "--record", rec.c_str(), "--fault", "114:silent", nullptr};
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], const_cast<char **>(argv));
    _exit(127);
  }
  close(out[1]);
  EXPECT_EQ(ReadExactly(out[0], ready.size()), ready);
  close(out[0]);

  const int waiting = Connect(sock), bad = Connect(sock), good = Connect(sock);
  EXPECT_TRUE(waiting >= 0 && bad >= 0 && good >= 0);
  EXPECT_TRUE(Send(waiting, Frame(114, Str("user"))));  // never answered
  std::string garbage = Frame(113, Str("all") + Str("user"));
  garbage[0] = 0;  // wrong magic
  EXPECT_EQ(Request(bad, garbage), std::vector<std::string>{"<no reply>"});
  const std::vector<std::string> visible = {"alice:x:1:1::/h:/bin/sh"};
  EXPECT_EQ(Request(good, Frame(113, Str("visible") + Str("user"))), visible);

  dir.write("passwd", "erin:x:5:5::/h:/bin/sh\nbob:x:2:2::/h:/bin/sh\n");
  dir.write("remove", "");
  EXPECT_EQ(Request(good, Frame(112, std::string("\x01\x01\x01\x00", 4))), std::vector<std::string>{}) << "reload";
  const std::vector<std::string> reloaded = {"erin:x:5:5::/h:/bin/sh", "bob:x:2:2::/h:/bin/sh"};
  EXPECT_EQ(Request(good, Frame(113, Str("visible") + Str("user"))), reloaded);
  EXPECT_EQ(Request(good, Frame(113, Str("remove") + Str("user"))), std::vector<std::string>{});
  for (int fd : {waiting, bad, good}) close(fd);
  kill(pid, SIGTERM);
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
