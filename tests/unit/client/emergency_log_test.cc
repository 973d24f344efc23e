#include "client_common/emergency_log.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "client_common/log_buffer.h"
#include "support/child_run.h"
#include "support/log_sink.h"
#include "support/secure_owner.h"
#include "support/temp_dir.h"

namespace {

using vxtest::CountOpenFds;
using vxtest::ReadFile;
using vxtest::TempDir;

// Whether `stamp` is a local time stamp ("%b %d %T") of a time between
// `before` and now.
bool StampIsLocalTimeSince(const std::string &stamp, time_t before) {
  for (time_t t = before; t <= time(nullptr); t++) {
    struct tm local;
    char text[64];
    localtime_r(&t, &local);
    strftime(text, sizeof text, "%b %d %T", &local);
    if (stamp == text) return true;
  }
  return false;
}

// A file line: local time, ident (a null one as "unkown"), pid, level name
// ("INFO" for a level out of range) and text, the text cut at 509
// characters and the whole line at 1020. One record is one line: control
// bytes but tab are escaped, in the ident too (a backslash stays), and the
// cut leaves out an escape that does not fit whole.
TEST(EmergencyFileLog, LinesShowTimeIdentPidLevelAndEscapedText) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const std::string pid = std::to_string(getpid()), long_ident(900, 'i');
  auto repeat = [](const std::string &s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
  };
  const struct {
    const char *ident;
    int32_t level;
    std::string text;
    std::string expected;  // after the time stamp and a blank (16 characters)
  } cases[] = {
      {"p", 4, "x", "p[" + pid + "] ERROR: x\n"},
      {nullptr, 0, "t", "unkown[" + pid + "] TRACE: t\n"},
      {"p", 5, "f", "p[" + pid + "] FATAL: f\n"},
      {"p", 9, "odd", "p[" + pid + "] INFO: odd\n"},
      {"p", 3, std::string(600, 'a'), "p[" + pid + "] WARNING: " + std::string(509, 'a') + "\n"},
      {long_ident.c_str(), 2, std::string(600, 'a'),
       (long_ident + "[" + pid + "] INFO: " + std::string(509, 'a')).substr(0, 1020 - 16 - 1) + "\n"},
      {"p", 4, "x\n* * * * * root /tmp/evil.sh", "p[" + pid + "] ERROR: x\\n* * * * * root /tmp/evil.sh\n"},
      {"p", 4, "\x1b]0;t\x07 a\rb\tc\\d\x7f\x01",
       "p[" + pid + "] ERROR: \\x1b]0;t\\x07 a\\rb\tc\\d\\x7f\\x01\n"},
      {"i\nj", 2, "t", "i\\nj[" + pid + "] INFO: t\n"},
      {"p", 3, "a" + std::string(600, '\n'), "p[" + pid + "] WARNING: a" + repeat("\\n", 254) + "\n"},
      {"p", 3, "aa" + std::string(600, '\n'), "p[" + pid + "] WARNING: aa" + repeat("\\n", 253) + "\n"},
      {"p", 3, "a" + std::string(600, '\x1b'), "p[" + pid + "] WARNING: a" + repeat("\\x1b", 127) + "\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text.substr(0, 9));
    TempDir dir;
    const std::string path = dir.write("emergency.log", "");
    const int fds = CountOpenFds();
    uint32_t status = 99;
    EmergencyLog *log = OpenFileLog(c.ident, path.c_str(), &status);
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(status == 0 && log->kind == EMERGENCY_LOG_FILE && log->threshold == 2u);
    EXPECT_EQ(fcntl(log->handle, F_GETFL) & O_NONBLOCK, 0) << "blocking again once checked";
    EXPECT_EQ(CountOpenFds(), fds + 1);
    EXPECT_EQ(EmergencyLogWrite(log, 1, "below the threshold"), 0u);
    EmergencyLogSetLevel(log, 0);
    const time_t before = time(nullptr);
    EXPECT_EQ(EmergencyLogWrite(log, c.level, "%s", c.text.c_str()), 0u);
    CloseEmergencyLog(log);
    EXPECT_EQ(CountOpenFds(), fds);
    const std::string line = ReadFile(path);
    EXPECT_TRUE(StampIsLocalTimeSince(line.substr(0, 15), before)) << line.substr(0, 15);
    EXPECT_EQ(line.substr(std::min<size_t>(line.size(), 16)), c.expected);
  }
}

// A path that is not absolute is refused with 100. A file that is missing
// (it is not created), or that someone other than root could have put or
// changed at the path, is refused with 102 and errno telling why: at once
// (a FIFO does not hang), no descriptor left, nothing written. A write
// that fails gives 102.
TEST(EmergencyFileLog, RefusesRelativePathsMissingFilesAndFilesOthersControl) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  for (const char *path : {static_cast<const char *>(nullptr), "relative.log", ""}) {
    uint32_t status = 0;
    EXPECT_TRUE(OpenFileLog("p", path, &status) == nullptr && status == 100) << (path ? path : "(null)");
  }
  TempDir dir;
  const std::string target = dir.write("root-only", "secret\n", 0600);
  int reader = -1;  // holds the FIFO of the "fifo with a reader" case open
  // Each case makes the file `name` of the directory.
  const struct {
    const char *name;
    std::function<void(const std::string &)> make;
    int err;
  } cases[] = {
      {"missing", [](auto &) {}, ENOENT},
      {"symbolic link to a root-only file",
       [&](auto &name) { ASSERT_EQ(symlink(target.c_str(), dir.file(name).c_str()), 0); }, ELOOP},
      {"fifo with a reader",
       [&](auto &name) {
         ASSERT_EQ(mkfifo(dir.file(name).c_str(), 0600), 0);
         reader = open(dir.file(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
       },
       EINVAL},
      {"fifo", [&](auto &name) { ASSERT_EQ(mkfifo(dir.file(name).c_str(), 0600), 0); }, ENXIO},
      {"foreign owner", [&](auto &name) { ASSERT_EQ(chown(dir.write(name, "").c_str(), 1000, 1000), 0); },
       EPERM},
      {"second hard link",
       [&](auto &name) { ASSERT_EQ(link(dir.write(name, "").c_str(), dir.file("x").c_str()), 0); }, EMLINK},
      {"writable by others", [&](auto &name) { dir.write(name, "", 0666); }, EPERM},
      {"directory", [&](auto &name) { ASSERT_EQ(mkdir(dir.file(name).c_str(), 0700), 0); }, EISDIR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("log") + std::to_string(&c - cases);
    c.make(name);
    const int fds = CountOpenFds();
    const auto start = std::chrono::steady_clock::now();
    uint32_t status = 0;
    errno = 0;
    EXPECT_EQ(OpenFileLog("p", dir.file(name).c_str(), &status), nullptr);
    EXPECT_EQ(status, 102u);
    EXPECT_EQ(errno, c.err);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(CountOpenFds(), fds);
  }
  close(reader);
  EXPECT_EQ(ReadFile(target), "secret\n");
  EXPECT_EQ(access(dir.file("log0").c_str(), F_OK), -1) << "a missing file is not created";
  EmergencyLog *log = OpenFileLog("p", target.c_str(), nullptr);
  ASSERT_NE(log, nullptr);
  const int read_only = open(target.c_str(), O_RDONLY | O_CLOEXEC);  // in place of the log's descriptor
  dup2(read_only, log->handle);
  close(read_only);
  EXPECT_EQ(EmergencyLogWrite(log, 4, "x"), 102u);
  CloseEmergencyLog(log);
}

// With standard input closed the log's file gets descriptor 0: still a
// log, which owns it like any other and closes it.
TEST(EmergencyFileLog, DescriptorZeroIsALogAndIsClosed) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  const std::string path = dir.write("e.log", "");
  const int saved_stdin = dup(0);
  close(0);
  EmergencyLog *log = OpenFileLog("p", path.c_str(), nullptr);
  EXPECT_TRUE(log != nullptr && log->handle == 0);
  CloseEmergencyLog(log);
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 left open";
  dup2(saved_stdin, 0);
  close(saved_stdin);
}

TEST(EmergencyLog, SetLevelReturnsPreviousAndIgnoresLevelsAboveFatal) {
  EmergencyLog *log = OpenDiscardLog(nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->kind, EMERGENCY_LOG_DISCARD);
  EXPECT_EQ(EmergencyLogSetLevel(log, 5), 2u);
  EXPECT_EQ(EmergencyLogSetLevel(log, 6), 5u);
  EXPECT_EQ(EmergencyLogSetLevel(log, 0), 5u);
  EXPECT_EQ(EmergencyLogSetLevel(nullptr, 0), 2u);
  EXPECT_EQ(EmergencyLogWrite(log, 5, "discarded"), 0u);
  EXPECT_EQ(EmergencyLogWrite(nullptr, 5, "nothing"), 0u);
  CloseEmergencyLog(log);
  CloseEmergencyLog(nullptr);
}

// The syslog emergency log is checked against a datagram socket bound at
// /dev/log inside a private mount namespace (root only).
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
  EmergencyLog *log = OpenSyslogLog("ident", 152, nullptr);  // local3
  EmergencyLogSetLevel(log, 0);
  const std::pair<int32_t, std::string> writes[] = {
      {4, "x\n* * * * * root /tmp/evil.sh\x1b\r"}, {4, std::string(300, '\x1b')}, {3, "warn"}, {1, "debug"}};
  for (const auto &[level, text] : writes) {
    EmergencyLogWrite(log, level, "%s %d", text.c_str(), 7);
    Forward(dev_log);
  }
  CloseEmergencyLog(log);
  ClientLog *client = NewClientLog("proc", "syslog", 2, "/nonexistent", 1, 1, nullptr, nullptr);
  ConfigureEmergencyLog(client);
  ClientLogWrite(client, 5, "test", 1, "fn", "%s", "fatal");
  Forward(dev_log);
  FreeClientLog(client);
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
      "156 ident" + pid + ": WARNING: warn 7",  // local3 | warning (4)
      "159 ident" + pid + ": DEBUG: debug 7",   // local3 | debug (7)
      "8 proc" + pid + ": FATAL: fatal",        // "syslog": user (8) | emerg (0)
  };
  EXPECT_EQ(got, expected);
}

}  // namespace
