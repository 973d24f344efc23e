#include "client_common/emergency_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "support/temp_dir.h"

namespace {

using vxtest::CountOpenFds;
using vxtest::ReadFile;
using vxtest::TempDir;

// Local time stamps a line written between `before` and now may carry.
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

TEST(EmergencyFileLog, WritesLocalTimeIdentPidLevelAndText) {
  TempDir dir;
  std::string path = dir.write("emergency.log", "");
  int fds = CountOpenFds();
  uint32_t status = 99;
  EmergencyLog *log = OpenFileLog("p", path.c_str(), &status);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(log->kind, EMERGENCY_LOG_FILE);
  EXPECT_EQ(log->threshold, 2u);
  time_t before = time(nullptr);
  EXPECT_EQ(EmergencyLogWrite(log, 1, "below the threshold"), 0u);
  EXPECT_EQ(EmergencyLogWrite(log, 4, "%s", "x"), 0u);
  EXPECT_EQ(CountOpenFds(), fds + 1);
  CloseEmergencyLog(log);
  EXPECT_EQ(CountOpenFds(), fds);
  std::string line = ReadFile(path);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, std::regex("([A-Z][a-z]{2} [ 0-9]{2} \\d{2}:\\d{2}:\\d{2}) (.*)\n")))
      << line;
  EXPECT_TRUE(StampIsLocalTimeSince(m[1], before)) << m[1];
  EXPECT_EQ(m[2], "p[" + std::to_string(getpid()) + "] ERROR: x");
}

TEST(EmergencyFileLog, LineShapesAndCuts) {
  const std::string pid = std::to_string(getpid()), long_ident(900, 'i');
  const struct {
    const char *ident;
    int32_t level;
    std::string text;
    std::string expected;  // after the time stamp
  } cases[] = {
      {nullptr, 0, "t", "unkown[" + pid + "] TRACE: t\n"},
      {"p", 5, "f", "p[" + pid + "] FATAL: f\n"},
      {"p", 9, "odd", "p[" + pid + "] INFO: odd\n"},
      // The text is cut at 509 characters, the whole line (stamp and blank:
      // 16) at 1020.
      {"p", 3, std::string(600, 'a'), "p[" + pid + "] WARNING: " + std::string(509, 'a') + "\n"},
      {long_ident.c_str(), 2, std::string(600, 'a'),
       (long_ident + "[" + pid + "] INFO: " + std::string(509, 'a')).substr(0, 1020 - 16 - 1) + "\n"},
  };
  for (const auto &c : cases) {
    TempDir dir;
    std::string path = dir.write("emergency.log", "");
    EmergencyLog *log = OpenFileLog(c.ident, path.c_str(), nullptr);
    ASSERT_NE(log, nullptr);
    EmergencyLogSetLevel(log, 0);
    EXPECT_EQ(EmergencyLogWrite(log, c.level, "%s", c.text.c_str()), 0u);
    CloseEmergencyLog(log);
    std::string line = ReadFile(path);
    EXPECT_EQ(line.substr(line.find(' ', 7) + 1), c.expected) << c.text.substr(0, 9);  // after the stamp
  }
}

TEST(EmergencyFileLog, OpenAndWriteFailures) {
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
  EmergencyLog *full = OpenFileLog("p", "/dev/full", nullptr);
  if (full == nullptr) GTEST_SKIP() << "/dev/full not writable here";
  EXPECT_EQ(EmergencyLogWrite(full, 4, "x"), 102u);
  CloseEmergencyLog(full);
}

// A file log owns its descriptor whatever its number, 0 included: closing
// the log closes it.
// With standard input closed the log's file gets descriptor 0: still a
// log, and closing it closes descriptor 0.
TEST(EmergencyFileLog, DescriptorZeroIsALogAndIsClosed) {
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
