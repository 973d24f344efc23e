#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_common/log_buffer.h"
#include "support/temp_dir.h"
#include "test_agent.h"

namespace {

using vxtest::DecodeLogFrame;
using vxtest::LogRecord;
using vxtest::ReadFile;
using vxtest::TempDir;
using vxtest::TestAgent;

struct Fixture {
  TempDir dir;
  std::string socket = dir.file("agent.sock");
  std::string file = dir.write("emergency.log", "");

  ClientLog *NewLog(uint32_t threshold) {
    std::string dest = "file " + file;
    return NewClientLog("proc", dest.c_str(), threshold, socket.c_str(), 2, 2, GetMsgTypeTable(), nullptr);
  }
};

void ExpectRecord(const LogRecord &r, int32_t level, int32_t line, const std::string &text) {
  EXPECT_EQ(r.process, "proc");
  EXPECT_EQ(r.pid, getpid());
  EXPECT_EQ(r.level, level);
  EXPECT_EQ(r.file, "test_module");
  EXPECT_EQ(r.line, line);
  EXPECT_EQ(r.function, "test_fn");
  EXPECT_EQ(r.text, text);
  EXPECT_NE(r.time, 0u);
}

void ExpectEndRecord(const LogRecord &r) {
  EXPECT_EQ(r.time, 0u);
  EXPECT_FALSE(r.has_process || r.has_file || r.has_function || r.has_text);
  EXPECT_EQ(r.pid + r.level + r.line, 0);
}

uint32_t Write(ClientLog *log, int32_t level, int32_t line, const char *text) {
  return ClientLogWrite(log, level, "test_module", line, "test_fn", "%s", text);
}

TEST(ClientLog, GatheredRecordsArriveInOneMessageInOrderWithEndRecord) {
  Fixture f;
  TestAgent agent(f.socket);
  ClientLog *log = f.NewLog(2);
  EXPECT_EQ(Write(log, 2, 10, "first"), 0u);
  EXPECT_EQ(Write(log, 1, 11, "debug is below the threshold"), 0u);
  EXPECT_EQ(ClientLogWrite(log, 4, "test_module", 12, "test_fn", "second %d", 2), 0u);
  EXPECT_EQ(Write(log, 3, 13, "third"), 0u);
  EXPECT_TRUE(agent.Frames().empty()) << "nothing is sent while gathering";

  EXPECT_EQ(ClientLogStartSending(log), 0u);
  std::vector<std::string> frames = agent.WaitFrames(1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(vxtest::FrameType(frames[0]), 107u);
  uint32_t status = 0;
  std::vector<LogRecord> records = DecodeLogFrame(frames[0], &status);
  EXPECT_EQ(status, 203u);
  ASSERT_EQ(records.size(), 4u);
  ExpectRecord(records[0], 2, 10, "first");
  ExpectRecord(records[1], 4, 12, "second 2");
  ExpectRecord(records[2], 3, 13, "third");
  ExpectEndRecord(records[3]);
  EXPECT_EQ(log->pending, nullptr);
  FreeClientLog(log);
  EXPECT_EQ(ReadFile(f.file), "");
}

TEST(ClientLog, AfterStartSendingEachRecordTravelsAtOnceOverOneSession) {
  Fixture f;
  TestAgent agent(f.socket);
  ClientLog *log = f.NewLog(0);
  EXPECT_EQ(ClientLogStartSending(log), 0u) << "nothing pending: nothing to send";
  EXPECT_EQ(log->session, nullptr);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(Write(log, 0, 20 + i, ("r" + std::to_string(i)).c_str()), 0u);
    std::vector<std::string> frames = agent.WaitFrames(static_cast<size_t>(i + 1));
    ASSERT_EQ(frames.size(), static_cast<size_t>(i + 1));
    uint32_t status = 0;
    std::vector<LogRecord> records = DecodeLogFrame(frames.back(), &status);
    ASSERT_EQ(records.size(), 2u);
    ExpectRecord(records[0], 0, 20 + i, "r" + std::to_string(i));
    ExpectEndRecord(records[1]);
  }
  EXPECT_EQ(agent.Connections(), 1);
  FreeClientLog(log);
}

TEST(ClientLog, UnreachableAgentReplaysGatheredRecordsIntoTheEmergencyLog) {
  Fixture f;  // no agent listens
  ClientLog *log = f.NewLog(1);
  Write(log, 2, 1, "gathered one");
  Write(log, 4, 2, "gathered two");
  EXPECT_EQ(ClientLogStartSending(log), 405u);
  ASSERT_NE(log->emergency, nullptr);
  EXPECT_EQ(log->emergency->kind, EMERGENCY_LOG_FILE);
  EXPECT_EQ(log->emergency->threshold, 1u);
  EXPECT_EQ(Write(log, 2, 3, "later"), 0u);
  FreeClientLog(log);

  std::string all = ReadFile(f.file);
  const std::string expected[] = {
      "DEBUG: Failed to open logging connection to vxagent through '" + f.socket + "': Socket error\n",
      "INFO: gathered one\n", "ERROR: gathered two\n", "INFO: later\n"};
  size_t at = 0;
  for (const std::string &e : expected) {
    size_t found = all.find(e, at);
    ASSERT_NE(found, std::string::npos) << e << " in\n" << all;
    at = found + e.size();
  }
  EXPECT_EQ(at, all.size());
}

TEST(ClientLog, AfterAFailedSendNothingMoreReachesTheAgent) {
  Fixture f;
  auto agent = std::make_unique<TestAgent>(f.socket);
  ClientLog *log = f.NewLog(2);
  ClientLogStartSending(log);
  EXPECT_EQ(Write(log, 2, 1, "delivered"), 0u);
  ASSERT_EQ(agent->WaitFrames(1).size(), 1u);
  agent.reset();  // the agent goes away

  EXPECT_NE(Write(log, 4, 2, "lost connection"), 0u);
  EXPECT_EQ(log->session, nullptr);
  ASSERT_NE(log->emergency, nullptr);

  TestAgent back(f.socket);  // and comes back
  EXPECT_EQ(Write(log, 4, 3, "after"), 0u);
  FreeClientLog(log);
  EXPECT_TRUE(back.Frames().empty());
  EXPECT_EQ(back.Connections(), 0);

  std::string all = ReadFile(f.file);
  EXPECT_NE(all.find("WARNING: Failed to send log message: "), std::string::npos) << all;
  EXPECT_NE(all.find("ERROR: lost connection\n"), std::string::npos) << all;
  EXPECT_NE(all.find("ERROR: after\n"), std::string::npos) << all;
  EXPECT_EQ(all.find("delivered"), std::string::npos);
}

TEST(ClientLog, SilentAgentTimesOutAndRecordGoesToTheEmergencyLog) {
  Fixture f;
  TestAgent agent(f.socket);
  agent.SetSilent(true);
  ClientLog *log = NewClientLog("proc", ("file " + f.file).c_str(), 2, f.socket.c_str(), 1, 1,
                                GetMsgTypeTable(), nullptr);
  ClientLogStartSending(log);
  EXPECT_EQ(Write(log, 2, 1, "unanswered"), 408u);
  FreeClientLog(log);
  std::string all = ReadFile(f.file);
  EXPECT_NE(all.find("WARNING: Failed to send log message: Timeout during operation\n"), std::string::npos)
      << all;
  EXPECT_NE(all.find("INFO: unanswered\n"), std::string::npos) << all;
}

TEST(ClientLog, DestinationSelectsTheEmergencyLog) {
  TempDir dir;
  std::string file = dir.write("e.log", "");
  struct Case {
    std::string destination;
    bool null_destination;
    uint32_t kind;
  } cases[] = {
      {"", true, EMERGENCY_LOG_DISCARD},
      {"file " + file, false, EMERGENCY_LOG_FILE},
      {"file relative.log", false, EMERGENCY_LOG_DISCARD},
      {"file " + dir.file("missing.log"), false, EMERGENCY_LOG_DISCARD},
      {"local3", false, EMERGENCY_LOG_SYSLOG},
      {"LOCAL3", false, EMERGENCY_LOG_DISCARD},
      {"syslog", false, EMERGENCY_LOG_SYSLOG},
      {"authpriv", false, EMERGENCY_LOG_SYSLOG},
      {"bogus", false, EMERGENCY_LOG_DISCARD},
  };
  for (const Case &c : cases) {
    ClientLog *log = NewClientLog("proc", c.null_destination ? nullptr : c.destination.c_str(), 3, "/x", 1, 1,
                                  GetMsgTypeTable(), nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(ReplayToEmergencyLog(log, nullptr), 0u);
    ASSERT_NE(log->emergency, nullptr) << c.destination;
    EXPECT_EQ(log->emergency->kind, c.kind) << c.destination;
    EXPECT_EQ(log->emergency->threshold, 3u) << c.destination;
    EmergencyLog *first = log->emergency;
    ConfigureEmergencyLog(log);
    EXPECT_EQ(log->emergency, first) << "configured once";
    FreeClientLog(log);
  }
}

TEST(ClientLog, LevelTestAndNullLog) {
  ClientLog *log = NewClientLog(nullptr, nullptr, 2, nullptr, 1, 1, GetMsgTypeTable(), nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_FALSE(ClientLogEnabled(log, 1));
  EXPECT_TRUE(ClientLogEnabled(log, 2));
  EXPECT_FALSE(ClientLogEnabled(log, -1));
  EXPECT_FALSE(ClientLogEnabled(nullptr, 5));
  EXPECT_EQ(Write(log, 1, 1, "dropped"), 0u);
  EXPECT_EQ(log->pending, nullptr);
  EXPECT_EQ(Write(nullptr, 5, 1, "no log"), 0u);
  EXPECT_EQ(ClientLogStartSending(nullptr), 0u);
  FreeClientLog(log);
  FreeClientLog(nullptr);
}

TEST(ClientLog, RecordThatCannotBeGatheredGivesStatusOne) {
  ClientLog *log = NewClientLog("proc", nullptr, 0, "/x", 1, 1, nullptr, nullptr);  // no type table
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(Write(log, 2, 1, "x"), 1u);
  EXPECT_EQ(log->pending, nullptr);
  FreeClientLog(log);
}

}  // namespace
