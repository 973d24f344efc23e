#include "client_common/log_buffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "client_common/msg_impl.h"
#include "support/agent.h"
#include "support/fault.h"
#include "support/log_sink.h"
#include "support/secure_owner.h"

namespace {

using namespace vxtest;

struct Fixture {
  TempDir dir;
  std::string socket = dir.file("agent.sock");
  std::string file = dir.write("emergency.log", "");

  ClientLog *NewLog(uint32_t threshold, uint32_t timeout = 2) {
    std::string dest = "file " + file;
    return NewClientLog("proc", dest.c_str(), threshold, socket.c_str(), timeout, timeout, GetMsgTypeTable(),
                        nullptr);
  }
  // The records of the emergency file ("LEVEL: text"), in order.
  std::vector<std::string> Emergency() const {
    return EmergencyRecords(ReadFile(file), "proc[" + std::to_string(getpid()) + "]");
  }
};

// A ControlLog2 frame as MsgDump renders it, with the record times (its
// only unsigned fields) shown as uT when not zero.
std::string Dump(const Bytes &frame) {
  Msg *m = NewMsgFromBuffer(const_cast<char *>(frame.data()), static_cast<uint32_t>(frame.size()), 1,
                            GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr);
  char *text = MsgDump(m);
  std::string dump = text != nullptr ? text : "(invalid)";
  free(text);
  MsgFree(m);
  return std::regex_replace(dump, std::regex("u[1-9][0-9]*"), "uT");
}

std::string Rec(int level, int line, const std::string &text) {
  return "uT,\"proc\"," + std::to_string(getpid()) + "," + std::to_string(level) + ",\"test_module\"," +
         std::to_string(line) + ",\"test_fn\",\"" + text + "\",";
}
const std::string kEndRecord = "u0,STRING:0,0,0,STRING:0,0,STRING:0,STRING:0]";

uint32_t Write(ClientLog *log, int32_t level, int32_t line, const char *text) {
  return ClientLogWrite(log, level, "test_module", line, "test_fn", "%s", text);
}

TEST(ClientLog, GatheredRecordsArriveInOneMessageInOrderWithEndRecord) {
  Fixture f;
  Agent agent({.path = f.socket});
  ClientLog *log = f.NewLog(2);
  EXPECT_EQ(Write(log, 2, 10, "first"), 0u);
  EXPECT_EQ(Write(log, 1, 11, "debug is below the threshold"), 0u);
  EXPECT_EQ(ClientLogWrite(log, 4, "test_module", 12, "test_fn", "second %d", 2), 0u);
  EXPECT_EQ(Write(log, 3, 13, "third"), 0u);
  EXPECT_EQ(agent.Connections(), 0) << "nothing is sent while gathering";
  EXPECT_EQ(ClientLogStartSending(log), 0u);
  std::vector<Bytes> frames = agent.WaitFrames(1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Dump(frames[0]),
            "ControlLog2[" + Rec(2, 10, "first") + Rec(4, 12, "second 2") + Rec(3, 13, "third") + kEndRecord);
  EXPECT_EQ(log->pending, nullptr);
  FreeClientLog(log);
  EXPECT_EQ(f.Emergency(), std::vector<std::string>{});
}

TEST(ClientLog, AfterStartSendingEachRecordTravelsAtOnceOverOneSession) {
  Fixture f;
  Agent agent({.path = f.socket});
  ClientLog *log = f.NewLog(0);
  EXPECT_EQ(ClientLogStartSending(log), 0u) << "nothing pending: nothing to send";
  EXPECT_EQ(log->session, nullptr);
  for (int i = 0; i < 3; i++) {
    const std::string text = "r" + std::to_string(i);
    EXPECT_EQ(Write(log, 0, 20 + i, text.c_str()), 0u);
    std::vector<Bytes> frames = agent.WaitFrames(static_cast<size_t>(i + 1));
    ASSERT_EQ(frames.size(), static_cast<size_t>(i + 1));
    EXPECT_EQ(Dump(frames.back()), "ControlLog2[" + Rec(0, 20 + i, text) + kEndRecord);
  }
  EXPECT_EQ(agent.Connections(), 1);
  FreeClientLog(log);
}

TEST(ClientLog, UnreachableAgentReplaysGatheredRecordsIntoTheEmergencyLog) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
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
  EXPECT_EQ(f.Emergency(),
            (std::vector<std::string>{"DEBUG: Failed to open logging connection to vxagent through '" +
                                          f.socket + "': Socket error",
                                      "INFO: gathered one", "ERROR: gathered two", "INFO: later"}));
}

TEST(ClientLog, AfterAFailedSendNothingMoreReachesTheAgent) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  Fixture f;
  auto agent = std::make_unique<Agent>(Agent::Options{.path = f.socket});
  ClientLog *log = f.NewLog(2);
  ClientLogStartSending(log);
  EXPECT_EQ(Write(log, 2, 1, "delivered"), 0u);
  ASSERT_EQ(agent->WaitFrames(1).size(), 1u);
  agent.reset();  // the agent goes away
  EXPECT_NE(Write(log, 4, 2, "lost connection"), 0u);
  EXPECT_EQ(log->session, nullptr);
  ASSERT_NE(log->emergency, nullptr);

  Agent back({.path = f.socket});  // and comes back
  EXPECT_EQ(Write(log, 4, 3, "after"), 0u);
  FreeClientLog(log);
  EXPECT_EQ(back.Connections(), 0);
  std::string all = ReadFile(f.file);
  EXPECT_NE(all.find("WARNING: Failed to send log message: "), std::string::npos) << all;
  EXPECT_NE(all.find("ERROR: lost connection\n"), std::string::npos) << all;
  EXPECT_NE(all.find("ERROR: after\n"), std::string::npos) << all;
  EXPECT_EQ(all.find("delivered"), std::string::npos);
}

// A message that cannot take its end record (no memory for it) is broken:
// the transaction refuses it with 406 before writing anything, and its
// records cannot be read back.
TEST(ClientLog, MessageThatCannotTakeItsEndRecordFailsWith406) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  Fixture f;
  Agent agent({.path = f.socket});
  ClientLog *log = f.NewLog(2);
  ASSERT_EQ(ConnectAndSend(log), 0u) << "opens the session; nothing to send";
  EXPECT_EQ(Write(log, 2, 1, std::string(420, 'x').c_str()), 0u);
  ASSERT_LT(log->pending->buf.end - log->pending->buf.cur, 40) << "the end record must need a bigger block";
  vxtest::fault::Arm(vxtest::fault::Call::kAlloc, 1);
  const uint32_t status = ConnectAndSend(log);
  EXPECT_EQ(vxtest::fault::Disarm().failed, 1);
  EXPECT_EQ(status, 406u);
  FreeClientLog(log);
  EXPECT_EQ(f.Emergency(), std::vector<std::string>{
                               "WARNING: Failed to send log message: Invalid message handle or operation"});
  EXPECT_EQ(agent.Count(MSGTYPE_CONTROL_LOG2), 0);
}

TEST(ClientLog, SilentAgentTimesOutAndRecordGoesToTheEmergencyLog) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  Fixture f;
  Agent agent({.path = f.socket});
  agent.Silent();
  ClientLog *log = f.NewLog(2, 1);
  ClientLogStartSending(log);
  EXPECT_EQ(Write(log, 2, 1, "unanswered"), 408u);
  FreeClientLog(log);
  EXPECT_EQ(f.Emergency(),
            (std::vector<std::string>{"WARNING: Failed to send log message: Timeout during operation",
                                      "INFO: unanswered"}));
}

TEST(ClientLog, DestinationSelectsTheEmergencyLog) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  std::string file = dir.write("e.log", "");
  const std::pair<std::string, uint32_t> cases[] = {
      {"(null)", EMERGENCY_LOG_DISCARD},
      {"file " + file, EMERGENCY_LOG_FILE},
      {"file relative.log", EMERGENCY_LOG_DISCARD},
      {"file " + dir.file("missing.log"), EMERGENCY_LOG_DISCARD},
      {"local3", EMERGENCY_LOG_SYSLOG},
      {"LOCAL3", EMERGENCY_LOG_DISCARD},
      {"syslog", EMERGENCY_LOG_SYSLOG},
      {"authpriv", EMERGENCY_LOG_SYSLOG},
      {"bogus", EMERGENCY_LOG_DISCARD},
  };
  for (const auto &[destination, kind] : cases) {
    ClientLog *log = NewClientLog("proc", destination == "(null)" ? nullptr : destination.c_str(), 3, "/x", 1,
                                  1, GetMsgTypeTable(), nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(ReplayToEmergencyLog(log, nullptr), 0u);
    ASSERT_NE(log->emergency, nullptr) << destination;
    EXPECT_EQ(log->emergency->kind, kind) << destination;
    EXPECT_EQ(log->emergency->threshold, 3u) << destination;
    EmergencyLog *first = log->emergency;
    ConfigureEmergencyLog(log);
    EXPECT_EQ(log->emergency, first) << "configured once";
    FreeClientLog(log);
  }
}

TEST(ClientLog, LevelTestNullLogAndUngatherableRecord) {
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
  log = NewClientLog("proc", nullptr, 0, "/x", 1, 1, nullptr, nullptr);  // no type table
  EXPECT_EQ(Write(log, 2, 1, "x"), 1u);
  EXPECT_EQ(log->pending, nullptr);
  FreeClientLog(log);
}

}  // namespace
