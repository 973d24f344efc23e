// The syslog emergency log, checked against a datagram socket bound at
// /dev/log inside a private mount namespace (root only).
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_common/emergency_log.h"
#include "client_common/log_buffer.h"
#include "support/child_run.h"

namespace {

constexpr int kCannotIsolate = 77;

// Receives one datagram (bounded wait) and passes it to the parent, NUL-ended.
void Forward(int dev_log, int out) {
  char buf[2048] = "(none)";
  ssize_t n = 6;
  pollfd p = {dev_log, POLLIN, 0};
  if (poll(&p, 1, 2000) == 1) n = std::max<ssize_t>(recv(dev_log, buf, sizeof buf - 1, 0), 0);
  (void)!write(out, buf, static_cast<size_t>(n) + 1);
}

int Scenario(int out) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
    return kCannotIsolate;
  }
  int dev_log = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/log");
  if (dev_log < 0 || bind(dev_log, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    return kCannotIsolate;
  EmergencyLog *log = OpenSyslogLog("ident", 152, nullptr);
  EmergencyLogWrite(log, 4, "hello %d", 7);
  Forward(dev_log, out);
  CloseEmergencyLog(log);
  const struct {
    const char *destination;
    uint32_t threshold;
    int32_t level;
    const char *text;
  } through_client_log[] = {{"local3", 2, 3, "warn"}, {"local3", 0, 1, "debug"}, {"syslog", 2, 5, "fatal"}};
  for (const auto &c : through_client_log) {
    ClientLog *client =
        NewClientLog("proc", c.destination, c.threshold, "/nonexistent", 1, 1, nullptr, nullptr);
    ConfigureEmergencyLog(client);
    ClientLogWrite(client, c.level, "test", 1, "fn", "%s", c.text);
    Forward(dev_log, out);
    FreeClientLog(client);
  }
  return 0;
}

TEST(SyslogEmergencyLog, PriorityIdentPidAndText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/log";
  const vxtest::ChildResult child = vxtest::RunInChild([] { return Scenario(STDOUT_FILENO); });
  if (child.status == kCannotIsolate) GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(child.status, 0) << child.err;
  const std::string &all = child.out;
  const std::string pid = std::to_string(child.pid);
  const std::pair<std::string, std::string> expected[] = {
      {"<155>", " ident[" + pid + "]: ERROR: hello 7"},  // local3 (152) | err (3)
      {"<156>", " proc[" + pid + "]: WARNING: warn"},    // local3 | warning (4)
      {"<159>", " proc[" + pid + "]: DEBUG: debug"},     // local3 | debug (7)
      {"<8>", " proc[" + pid + "]: FATAL: fatal"},       // "syslog": user (8) | emerg (0)
  };
  size_t start = 0;
  for (const auto &[pri, tail] : expected) {
    size_t end = all.find('\0', start);
    ASSERT_NE(end, std::string::npos);
    const std::string got = all.substr(start, end - start);
    start = end + 1;
    EXPECT_EQ(got.rfind(pri, 0), 0u) << got;
    EXPECT_TRUE(got.size() >= tail.size() && got.compare(got.size() - tail.size(), tail.size(), tail) == 0)
        << got;
  }
  EXPECT_EQ(start, all.size());
}

}  // namespace
