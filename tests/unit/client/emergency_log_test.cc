#include "client_common/emergency_log.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

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

TEST(EmergencyFileLog, OpenAndWriteFailures) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  std::string missing = dir.file("missing.log");
  const std::pair<const char *, uint32_t> cases[] = {
      {nullptr, 100}, {"relative.log", 100}, {"", 100}, {missing.c_str(), 102}};
  int fds = CountOpenFds();
  for (const auto &[path, expected] : cases) {
    uint32_t status = 0;
    EXPECT_EQ(OpenFileLog("p", path, &status), nullptr);
    EXPECT_EQ(status, expected) << (path ? path : "(null)");
  }
  EXPECT_EQ(access(missing.c_str(), F_OK), -1) << "the file must not be created";
  EXPECT_EQ(CountOpenFds(), fds);
  // A descriptor that cannot be written (read-only in its place).
  const std::string good = dir.write("good.log", "");
  EmergencyLog *log = OpenFileLog("p", good.c_str(), nullptr);
  ASSERT_NE(log, nullptr);
  const int read_only = open(good.c_str(), O_RDONLY | O_CLOEXEC);
  dup2(read_only, log->handle);
  close(read_only);
  EXPECT_EQ(EmergencyLogWrite(log, 4, "x"), 102u);
  CloseEmergencyLog(log);
}

// A file that someone other than root could have put or changed at the
// path is refused as a file that cannot be opened: 102 with errno telling
// why, at once (a FIFO does not hang), no descriptor left, nothing written.
TEST(EmergencyFileLog, RefusesLinksFifosAndFilesOthersControl) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  const std::string target = dir.write("root-only", "secret\n", 0600);
  int reader = -1;  // holds the FIFO of the "fifo with a reader" case open
  // Each case makes the file `name` of the directory.
  const struct {
    const char *name;
    std::function<void(const std::string &)> make;
    int err;
  } cases[] = {
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
    const std::string name = std::string("log") + std::to_string(&c - cases);
    c.make(name);
    const int fds = CountOpenFds();
    const auto start = std::chrono::steady_clock::now();
    uint32_t status = 0;
    errno = 0;
    EXPECT_EQ(OpenFileLog("p", dir.file(name).c_str(), &status), nullptr) << c.name;
    EXPECT_EQ(status, 102u) << c.name;
    EXPECT_EQ(errno, c.err) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
    EXPECT_EQ(CountOpenFds(), fds) << c.name;
  }
  close(reader);
  EXPECT_EQ(ReadFile(target), "secret\n");
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

}  // namespace
