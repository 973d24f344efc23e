#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "client_common/emergency_log.h"
#include "support/temp_dir.h"

namespace {

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

struct FileLog {
  TempDir dir;
  std::string path = dir.write("emergency.log", "");
};

TEST(EmergencyFileLog, WritesLocalTimeIdentPidLevelAndText) {
  FileLog f;
  uint32_t status = 99;
  EmergencyLog *log = OpenFileLog("p", f.path.c_str(), &status);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(log->kind, EMERGENCY_LOG_FILE);
  EXPECT_EQ(log->threshold, 2u);
  time_t before = time(nullptr);
  EXPECT_EQ(EmergencyLogWrite(log, 4, "%s", "x"), 0u);
  CloseEmergencyLog(log);

  std::string line = ReadFile(f.path);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, std::regex("([A-Z][a-z]{2} [ 0-9]{2} \\d{2}:\\d{2}:\\d{2}) (.*)\n")))
      << line;
  EXPECT_TRUE(StampIsLocalTimeSince(m[1], before)) << m[1];
  EXPECT_EQ(m[2], "p[" + std::to_string(getpid()) + "] ERROR: x");
}

// The part of a line after its time stamp.
std::string AfterStamp(const std::string &line) { return line.substr(line.find(' ', 7) + 1); }

TEST(EmergencyFileLog, LineShapes) {
  const std::string pid = std::to_string(getpid());
  const std::string long_ident(900, 'i');
  struct Case {
    const char *ident;
    int32_t level;
    std::string text;
    std::string expected;  // after the time stamp
  } cases[] = {
      {nullptr, 0, "t", "unkown[" + pid + "] TRACE: t\n"},
      {"p", 5, "f", "p[" + pid + "] FATAL: f\n"},
      {"p", 9, "odd", "p[" + pid + "] INFO: odd\n"},
      {"p", 3, std::string(600, 'a'), "p[" + pid + "] WARNING: " + std::string(509, 'a') + "\n"},
  };
  for (const Case &c : cases) {
    FileLog f;
    EmergencyLog *log = OpenFileLog(c.ident, f.path.c_str(), nullptr);
    ASSERT_NE(log, nullptr);
    EmergencyLogSetLevel(log, 0);
    EXPECT_EQ(EmergencyLogWrite(log, c.level, "%s", c.text.c_str()), 0u);
    CloseEmergencyLog(log);
    EXPECT_EQ(AfterStamp(ReadFile(f.path)), c.expected) << c.text.substr(0, 10);
  }
}

TEST(EmergencyFileLog, WholeLineIsCutAt1020AndStillEndsItsLine) {
  FileLog f;
  EmergencyLog *log = OpenFileLog(std::string(900, 'i').c_str(), f.path.c_str(), nullptr);
  ASSERT_NE(log, nullptr);
  EmergencyLogWrite(log, 2, "%s", std::string(600, 'a').c_str());
  EmergencyLogWrite(log, 2, "second");
  CloseEmergencyLog(log);
  std::string all = ReadFile(f.path);
  size_t first_end = all.find('\n');
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_EQ(first_end + 1, 1020u);
  EXPECT_EQ(all.substr(first_end - 3, 4), "aaa\n");
  EXPECT_NE(all.find("INFO: second\n", first_end), std::string::npos);
}

TEST(EmergencyFileLog, ThresholdFiltersLowerLevels) {
  FileLog f;
  EmergencyLog *log = OpenFileLog("p", f.path.c_str(), nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(EmergencyLogWrite(log, 1, "debug"), 0u);
  EXPECT_EQ(EmergencyLogWrite(log, 2, "info"), 0u);
  CloseEmergencyLog(log);
  std::string all = ReadFile(f.path);
  EXPECT_EQ(all.find("debug"), std::string::npos);
  EXPECT_NE(all.find("INFO: info"), std::string::npos);
}

TEST(EmergencyFileLog, OpenFailures) {
  TempDir dir;
  std::string missing = dir.file("missing.log");
  struct Case {
    const char *path;
    uint32_t status;
  } cases[] = {{nullptr, 100}, {"relative.log", 100}, {"", 100}, {missing.c_str(), 102}};
  int fds = vxtest::CountOpenFds();
  for (const Case &c : cases) {
    uint32_t status = 0;
    EXPECT_EQ(OpenFileLog("p", c.path, &status), nullptr);
    EXPECT_EQ(status, c.status) << (c.path ? c.path : "(null)");
  }
  EXPECT_EQ(access(missing.c_str(), F_OK), -1) << "the file must not be created";
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
}

TEST(EmergencyFileLog, FailedWriteGives102) {
  EmergencyLog *log = OpenFileLog("p", "/dev/full", nullptr);
  if (log == nullptr) GTEST_SKIP() << "/dev/full not writable here";
  EXPECT_EQ(EmergencyLogWrite(log, 4, "x"), 102u);
  CloseEmergencyLog(log);
}

TEST(EmergencyLog, CloseReleasesTheDescriptor) {
  FileLog f;
  int fds = vxtest::CountOpenFds();
  EmergencyLog *log = OpenFileLog("p", f.path.c_str(), nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(vxtest::CountOpenFds(), fds + 1);
  CloseEmergencyLog(log);
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
  CloseEmergencyLog(nullptr);
}

TEST(EmergencyLog, SetLevelReturnsPreviousAndIgnoresLevelsAboveFatal) {
  EmergencyLog *log = OpenDiscardLog(nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->kind, EMERGENCY_LOG_DISCARD);
  EXPECT_EQ(EmergencyLogSetLevel(log, 5), 2u);
  EXPECT_EQ(EmergencyLogSetLevel(log, 6), 5u);
  EXPECT_EQ(log->threshold, 5u);
  EXPECT_EQ(EmergencyLogSetLevel(log, 0), 5u);
  EXPECT_EQ(EmergencyLogSetLevel(nullptr, 0), 2u);
  EXPECT_EQ(EmergencyLogWrite(log, 5, "discarded"), 0u);
  EXPECT_EQ(EmergencyLogWrite(nullptr, 5, "nothing"), 0u);
  CloseEmergencyLog(log);
}

}  // namespace
