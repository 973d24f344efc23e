#include "client_common/log_buffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "client_common/msg_impl.h"
#include "context_support.h"
#include "support/agent.h"
#include "support/fault.h"

namespace {

using namespace vxtest;
namespace fi = vxtest::fault;

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

// Records gathered before ClientLogStartSending arrive in one message, in
// the order written, with the end record; afterwards each record travels at
// once. All over one session.
TEST(ClientLog, GatheredRecordsArriveInOneMessageThenEachAtOnce) {
  ContextFiles f;
  Agent agent({.path = f.socket});
  ClientLog *log = f.NewLog(2);
  EXPECT_EQ(Write(log, 2, 10, "first"), 0u);
  EXPECT_EQ(Write(log, 1, 11, "debug is below the threshold"), 0u);
  EXPECT_EQ(ClientLogWrite(log, 4, "test_module", 12, "test_fn", "second %d", 2), 0u);
  EXPECT_EQ(Write(log, 3, 13, "third"), 0u);
  EXPECT_EQ(agent.Connections(), 0) << "nothing is sent while gathering";
  EXPECT_EQ(ClientLogStartSending(log), 0u);
  EXPECT_EQ(log->pending, nullptr);
  std::vector<std::string> expected = {"ControlLog2[" + Rec(2, 10, "first") + Rec(4, 12, "second 2") +
                                       Rec(3, 13, "third") + kEndRecord};
  for (int i = 0; i < 2; i++) {
    const std::string text = "r" + std::to_string(i);
    EXPECT_EQ(Write(log, 2, 20 + i, text.c_str()), 0u);
    expected.push_back("ControlLog2[" + Rec(2, 20 + i, text) + kEndRecord);
  }
  std::vector<std::string> dumps;
  for (const Bytes &frame : agent.WaitFrames(3)) dumps.push_back(Dump(frame));
  EXPECT_EQ(dumps, expected);
  EXPECT_EQ(agent.Connections(), 1);
  FreeClientLog(log);
  EXPECT_EQ(f.Records("proc"), std::vector<std::string>{});
}

// An agent that cannot be reached: the gathered records are replayed into
// the emergency log after the reason, and every later record goes there
// too, even once the agent is back.
TEST(ClientLog, UnreachableAgentSendsRecordsToTheEmergencyLogForGood) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  ContextFiles f;  // no agent listens yet
  ClientLog *log = f.NewLog(1);
  Write(log, 2, 1, "gathered one");
  Write(log, 4, 2, "gathered two");
  EXPECT_EQ(ClientLogStartSending(log), 405u);
  ASSERT_NE(log->emergency, nullptr);
  EXPECT_TRUE(log->emergency->kind == EMERGENCY_LOG_FILE && log->emergency->threshold == 1u);
  Agent agent({.path = f.socket});
  EXPECT_EQ(Write(log, 2, 3, "later"), 0u);
  FreeClientLog(log);
  EXPECT_EQ(agent.Connections(), 0);
  EXPECT_EQ(f.Records("proc"),
            (std::vector<std::string>{"DEBUG: Failed to open logging connection to vxagent through '" +
                                          f.socket + "': Socket error",
                                      "INFO: gathered one", "ERROR: gathered two", "INFO: later"}));
}

// A message that cannot take its end record (no memory for it) is broken:
// the transaction refuses it with 406 before writing anything, and its
// records cannot be read back.
TEST(ClientLog, MessageThatCannotTakeItsEndRecordFailsWith406) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  ContextFiles f;
  Agent agent({.path = f.socket});
  ClientLog *log = f.NewLog(2);
  ASSERT_EQ(ConnectAndSend(log), 0u) << "opens the session; nothing to send";
  EXPECT_EQ(Write(log, 2, 1, std::string(420, 'x').c_str()), 0u);
  ASSERT_LT(log->pending->buf.end - log->pending->buf.cur, 40) << "the end record must need a bigger block";
  fi::Arm(fi::Call::kAlloc, 1);
  const uint32_t status = ConnectAndSend(log);
  EXPECT_EQ(fi::Disarm().failed, 1);
  EXPECT_EQ(status, 406u);
  FreeClientLog(log);
  EXPECT_EQ(
      f.Records("proc"),
      std::vector<std::string>{"WARNING: Failed to send log message: Invalid message handle or operation"});
  EXPECT_EQ(agent.Count(MSGTYPE_CONTROL_LOG2), 0);
}

TEST(ClientLog, DestinationSelectsTheEmergencyLog) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  const struct {
    std::string destination;
    uint32_t kind;
    long failing_alloc = 0;  // while the emergency log is configured
  } cases[] = {
      {"(null)", EMERGENCY_LOG_DISCARD},
      {"file " + dir.write("e.log", ""), EMERGENCY_LOG_FILE},
      {"file relative.log", EMERGENCY_LOG_DISCARD},
      {"file " + dir.file("missing.log"), EMERGENCY_LOG_DISCARD},
      {"local3", EMERGENCY_LOG_SYSLOG},
      {"local3", EMERGENCY_LOG_DISCARD, 1},
      {"LOCAL3", EMERGENCY_LOG_DISCARD},
      {"syslog", EMERGENCY_LOG_SYSLOG},
      {"authpriv", EMERGENCY_LOG_SYSLOG},
      {"bogus", EMERGENCY_LOG_DISCARD},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.destination + (c.failing_alloc ? ", no memory" : ""));
    ClientLog *log = NewClientLog("proc", c.destination == "(null)" ? nullptr : c.destination.c_str(), 3,
                                  "/x", 1, 1, GetMsgTypeTable(), nullptr);
    ASSERT_NE(log, nullptr);
    fi::Arm(fi::Call::kAlloc, c.failing_alloc);
    EXPECT_EQ(ReplayToEmergencyLog(log, nullptr), 0u);
    EXPECT_EQ(fi::Disarm().failed, c.failing_alloc != 0);
    ASSERT_NE(log->emergency, nullptr);
    EXPECT_EQ(log->emergency->kind, c.kind);
    EXPECT_EQ(log->emergency->threshold, 3u);
    EmergencyLog *first = log->emergency;
    ConfigureEmergencyLog(log);
    EXPECT_EQ(log->emergency, first) << "configured once";
    FreeClientLog(log);
  }
}

// A record that cannot be gathered (no message type, no memory for the
// message or for the record) is lost with what was gathered before it.
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
  EXPECT_EQ(Write(log, 2, 1, std::string(420, 'x').c_str()), 0u);
  fi::Arm(fi::Call::kAlloc, 1);  // the next record needs a bigger block
  EXPECT_EQ(Write(log, 2, 2, "x"), 1u);
  EXPECT_EQ(fi::Disarm().failed, 1);
  EXPECT_EQ(log->pending, nullptr);
  EXPECT_EQ(ClientLogStartSending(log), 0u) << "nothing pending: nothing to send";
  EXPECT_TRUE(log->session == nullptr && log->emergency == nullptr);
  FreeClientLog(log);
  FreeClientLog(nullptr);
  log = NewClientLog("proc", nullptr, 0, "/x", 1, 1, nullptr, nullptr);  // no type table
  EXPECT_EQ(Write(log, 2, 1, "x"), 1u);
  EXPECT_EQ(log->pending, nullptr);
  FreeClientLog(log);
}

}  // namespace
