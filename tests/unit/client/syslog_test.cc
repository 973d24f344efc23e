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

namespace {

constexpr int kCannotIsolate = 77;

// Receives one datagram (bounded wait) and passes it to the parent, NUL-ended.
void Forward(int dev_log, int out) {
  char buf[2048] = "(none)";
  ssize_t n = 6;
  pollfd p = {dev_log, POLLIN, 0};
  if (poll(&p, 1, 2000) == 1) n = recv(dev_log, buf, sizeof buf - 1, 0);
  if (n < 0) n = 0;
  (void)!write(out, buf, static_cast<size_t>(n));
  (void)!write(out, "", 1);
}

void ThroughClientLog(const char *destination, uint32_t threshold, int32_t level, const char *text, int dev_log,
                      int out) {
  ClientLog *log = NewClientLog("proc", destination, threshold, "/nonexistent", 1, 1, nullptr, nullptr);
  ConfigureEmergencyLog(log);
  ClientLogWrite(log, level, "test", 1, "fn", "%s", text);
  Forward(dev_log, out);
  FreeClientLog(log);
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
  if (dev_log < 0 || bind(dev_log, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return kCannotIsolate;

  EmergencyLog *log = OpenSyslogLog("ident", 152, nullptr);
  EmergencyLogWrite(log, 4, "hello %d", 7);
  Forward(dev_log, out);
  CloseEmergencyLog(log);

  ThroughClientLog("local3", 2, 3, "warn", dev_log, out);
  ThroughClientLog("local3", 0, 1, "debug", dev_log, out);
  ThroughClientLog("syslog", 2, 5, "fatal", dev_log, out);
  return 0;
}

std::vector<std::string> RunIsolated(pid_t *child, int *exit_code) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  *child = fork();
  if (*child == 0) {
    close(fds[0]);
    _exit(Scenario(fds[1]));
  }
  close(fds[1]);
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  waitpid(*child, &wstatus, 0);
  *exit_code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  std::vector<std::string> datagrams;
  size_t start = 0, end;
  while ((end = all.find('\0', start)) != std::string::npos) {
    datagrams.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return datagrams;
}

bool EndsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(SyslogEmergencyLog, PriorityIdentPidAndText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/log";
  pid_t child = 0;
  int code = 0;
  std::vector<std::string> got = RunIsolated(&child, &code);
  if (code == kCannotIsolate) GTEST_SKIP() << "cannot create a private mount namespace here";
  ASSERT_EQ(code, 0);
  const std::string pid = std::to_string(child);
  struct Expect {
    const char *pri;
    std::string tail;
  } expected[] = {
      {"<155>", " ident[" + pid + "]: ERROR: hello 7"},    // local3 (152) | err (3)
      {"<156>", " proc[" + pid + "]: WARNING: warn"},      // local3 | warning (4)
      {"<159>", " proc[" + pid + "]: DEBUG: debug"},       // local3 | debug (7)
      {"<8>", " proc[" + pid + "]: FATAL: fatal"},         // "syslog": user (8) | emerg (0)
  };
  ASSERT_EQ(got.size(), std::size(expected));
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i].rfind(expected[i].pri, 0), 0u) << got[i];
    EXPECT_TRUE(EndsWith(got[i], expected[i].tail)) << got[i];
  }
}

}  // namespace
