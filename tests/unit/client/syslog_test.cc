// The syslog emergency log, checked against a datagram socket bound at
// /dev/log inside a private mount namespace (root only).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_common/emergency_log.h"
#include "client_common/log_buffer.h"
#include "support/child_run.h"
#include "support/log_sink.h"

namespace {

constexpr int kCannotIsolate = 77;

// Receives one datagram (bounded wait) and passes it on to the parent, NUL-ended.
void Forward(int dev_log) {
  char buf[2048] = "(none)";
  ssize_t n = 6;
  pollfd p = {dev_log, POLLIN, 0};
  if (poll(&p, 1, 2000) == 1) n = std::max<ssize_t>(recv(dev_log, buf, sizeof buf - 1, 0), 0);
  (void)!write(STDOUT_FILENO, buf, static_cast<size_t>(n) + 1);
}

int Scenario() {
  vxtest::TempDir scratch;
  const int dev_log = vxtest::EnterMountNamespace() ? vxtest::PrivateDev(scratch.path()) : -1;
  if (dev_log < 0) return kCannotIsolate;
  EmergencyLog *log = OpenSyslogLog("ident", 152, nullptr);
  for (const std::string &text :
       {std::string("x\n* * * * * root /tmp/evil.sh\x1b\r"), std::string(300, '\x1b')}) {
    EmergencyLogWrite(log, 4, "%s %d", text.c_str(), 7);
    Forward(dev_log);
  }
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
    Forward(dev_log);
    FreeClientLog(client);
  }
  return 0;
}

TEST(SyslogEmergencyLog, PriorityIdentPidAndEscapedText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/log";
  const vxtest::ChildResult child = vxtest::RunInChild(Scenario);
  if (child.status == kCannotIsolate) GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(child.status, 0) << child.err;
  const std::string pid = "[" + std::to_string(child.pid) + "]";
  std::vector<std::string> got;
  for (size_t start = 0, end; (end = child.out.find('\0', start)) != std::string::npos; start = end + 1) {
    const vxtest::SyslogRecord r = vxtest::ParseSyslog(child.out.substr(start, end - start));
    got.push_back(std::to_string(r.priority) + " " + r.ident + ": " + r.text);
  }
  std::string escapes;  // as many as fit in 510 characters after "ERROR: "
  for (int i = 0; i < 125; ++i) escapes += "\\x1b";
  const std::vector<std::string> expected = {
      // local3 (152) | err (3); one record is one line: control bytes
      // escaped, no escape cut.
      "155 ident" + pid + ": ERROR: x\\n* * * * * root /tmp/evil.sh\\x1b\\r 7",
      "155 ident" + pid + ": ERROR: " + escapes,
      "156 proc" + pid + ": WARNING: warn",  // local3 | warning (4)
      "159 proc" + pid + ": DEBUG: debug",   // local3 | debug (7)
      "8 proc" + pid + ": FATAL: fatal",     // "syslog": user (8) | emerg (0)
  };
  EXPECT_EQ(got, expected);
}

}  // namespace
