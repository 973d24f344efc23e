// What the tests that use vxagent-sim do not show of it: its exact ready
// line, that it drops a connection sending garbage while it serves another,
// and that a reload replaces the list replies it prepared when it read its
// data. (Serving a silent connection beside others, long replies and the
// faults are pinned by the e2e suite, which fails when they break.)
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
using Entries = std::vector<std::string>;

constexpr int kWaitMs = 10000;
constexpr uint32_t kWaitSeconds = 10;

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

TEST(AgentSim, DropsGarbageServesOthersAndReloadsItsData) {
  vxtest::TempDir dir;
  dir.write("passwd", "bob:x:2:2::/h:/bin/sh\nann:x:3:3::/h:/bin/sh\n");
  dir.write("remove", "bob\n");
  const std::string sock = dir.file("d2"), kest = dir.file("d");
  const std::string command = "exec " VXAGENT_SIM_PATH " --socket " + sock + " --kest-socket " + kest +
                              " --data " + dir.path() + " --fault 111:exit";
  FILE *agent = popen(command.c_str(), "r");  // it stops, exit status 0, once it has answered a 111
  ASSERT_NE(agent, nullptr);
  char line[512] = "";
  pollfd p{fileno(agent), POLLIN, 0};
  EXPECT_TRUE(poll(&p, 1, kWaitMs) == 1 && fgets(line, sizeof line, agent) != nullptr);
  EXPECT_EQ(line, "ready " + sock + " " + kest + "\n");

  // A request with a wrong magic: the agent closes that connection at once.
  std::string garbage = vxtest::U32(LRPC_HELLO) + Frame(113, Str("all") + Str("user"));
  garbage[4] = 0;
  const int bad = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(connect(bad, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(send(bad, garbage.data(), garbage.size(), MSG_NOSIGNAL), static_cast<ssize_t>(garbage.size()));
  LRPC2Session *good = LRPC2Open(sock.c_str(), GetMsgTypeTable(), kWaitSeconds, kWaitSeconds, nullptr);
  ASSERT_NE(good, nullptr);
  char buf[64];
  p = {bad, POLLIN, 0};
  EXPECT_TRUE(poll(&p, 1, kWaitMs) == 1 && read(bad, buf, sizeof buf) == 4) << "the welcome only";
  EXPECT_TRUE(poll(&p, 1, kWaitMs) == 1 && read(bad, buf, sizeof buf) <= 0) << "then the end";
  EXPECT_EQ(Request(good, Frame(113, Str("visible") + Str("user"))), Entries{"ann:x:3:3::/h:/bin/sh"});

  dir.write("passwd", "erin:x:5:5::/h:/bin/sh\nbob:x:2:2::/h:/bin/sh\n");
  dir.write("remove", "");
  EXPECT_EQ(Request(good, Frame(112, std::string("\x01\x01\x01\x00", 4))), Entries{}) << "reload";
  EXPECT_EQ(Request(good, Frame(113, Str("visible") + Str("user"))),
            (Entries{"erin:x:5:5::/h:/bin/sh", "bob:x:2:2::/h:/bin/sh"}))
      << "bob no longer marked for removal";
  EXPECT_EQ(Request(good, Frame(111)), Entries{});
  LRPC2Close(good);
  close(bad);
  EXPECT_EQ(pclose(agent), 0);
}

}  // namespace
