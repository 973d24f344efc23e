// What the e2e suite cannot see of vxagent-sim, which it only meets through
// one command per connection on small data: connections are served
// independently (one left waiting, one sending garbage, one working), a long
// list arrives whole, and a reload replaces the list replies the agent
// prepared when it read its data.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_common/lrpc2.h"
#include "support/temp_dir.h"
#include "support/wire.h"

namespace {

using vxtest::Frame;
using vxtest::Str;
using vxtest::U32;
using Entries = std::vector<std::string>;

constexpr int kWaitMs = 10000;
constexpr uint32_t kWaitSeconds = 10;
constexpr int kManyUsers = 20000;

// A raw connection that has sent `bytes`.
int Connect(const std::string &path, const std::string &bytes) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  return fd;
}

// Whether the agent closes `fd` within the bound (after anything it sends).
bool Dropped(int fd) {
  char buf[64];
  pollfd p{fd, POLLIN, 0};
  ssize_t r = 1;
  while (r > 0 && poll(&p, 1, kWaitMs) == 1) r = read(fd, buf, sizeof buf);
  return r <= 0;  // end of stream, or a reset when bytes were left unread
}

// Sends a request frame through the client transport; the entries of the
// list reply ({} for a reply without them), or "<failed>".
Entries Request(LRPC2Session *session, std::string frame) {
  Msg *request =
      NewMsgFromBuffer(frame.data(), frame.size(), 1, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr);
  uint32_t status = 0;
  Msg *reply = LRPC2Transact(session, request, kWaitSeconds, &status);
  MsgFree(request);
  if (reply == nullptr) return {"<failed>"};
  char **set = nullptr;
  Entries out;
  if (MsgGetInt(reply, nullptr) == MSG_OK && MsgGetStringSet(reply, &set) == MSG_OK)
    for (char **p = set; *p != nullptr; ++p) out.emplace_back(*p), free(*p);
  free(set);
  MsgFree(reply);
  return out;
}

TEST(AgentSim, ConnectionsAreIndependentAndRepliesFollowTheData) {
  vxtest::TempDir dir;
  Entries many;  // more than a socket buffer holds: the reply leaves in pieces
  std::string passwd = "bob:x:2:2::/h:/bin/sh\n";
  for (int i = 0; i < kManyUsers; ++i)
    many.push_back("u" + std::to_string(i) + ":x:" + std::to_string(i) + ":1::/h:/bin/sh");
  for (const std::string &entry : many) passwd += entry + "\n";
  dir.write("passwd", passwd);
  dir.write("remove", "bob\n");
  const std::string sock = dir.file("d2"), kest = dir.file("d");
  const std::string command = "exec " VXAGENT_SIM_PATH " --socket " + sock + " --kest-socket " + kest +
                              " --data " + dir.path() + " --record " + dir.file("rec") +
                              " --fault 114:silent --fault 111:exit";
  FILE *agent = popen(command.c_str(), "r");  // it stops, exit status 0, once it has answered a 111
  ASSERT_NE(agent, nullptr);
  char line[512] = "";
  pollfd p{fileno(agent), POLLIN, 0};
  EXPECT_TRUE(poll(&p, 1, kWaitMs) == 1 && fgets(line, sizeof line, agent) != nullptr);
  EXPECT_EQ(line, "ready " + sock + " " + kest + "\n");

  const int waiting = Connect(sock, U32(LRPC_HELLO) + Frame(114, Str("user")));  // never answered
  std::string garbage = Frame(113, Str("all") + Str("user"));
  garbage[0] = 0;  // wrong magic
  const int bad = Connect(sock, U32(LRPC_HELLO) + garbage);
  LRPC2Session *good = LRPC2Open(sock.c_str(), GetMsgTypeTable(), kWaitSeconds, kWaitSeconds, nullptr);
  ASSERT_NE(good, nullptr);
  EXPECT_TRUE(Dropped(bad));
  EXPECT_EQ(Request(good, Frame(113, Str("visible") + Str("user"))), many);

  dir.write("passwd", "erin:x:5:5::/h:/bin/sh\nbob:x:2:2::/h:/bin/sh\n");
  dir.write("remove", "");
  EXPECT_EQ(Request(good, Frame(112, std::string("\x01\x01\x01\x00", 4))), Entries{}) << "reload";
  EXPECT_EQ(Request(good, Frame(113, Str("visible") + Str("user"))),
            (Entries{"erin:x:5:5::/h:/bin/sh", "bob:x:2:2::/h:/bin/sh"}));
  EXPECT_EQ(Request(good, Frame(113, Str("remove") + Str("user"))), Entries{});
  EXPECT_EQ(Request(good, Frame(111)), Entries{});
  LRPC2Close(good);
  close(waiting);
  close(bad);
  EXPECT_EQ(pclose(agent), 0);
}

}  // namespace
