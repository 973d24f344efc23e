// The client log (gathering, sending, falling back) and its emergency
// logs (file, syslog, discard).
#include "client_common/log_buffer.h"

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
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "client_common/emergency_log.h"
#include "client_common/msg_impl.h"
#include "context_support.h"
#include "support/agent.h"
#include "support/child_run.h"
#include "support/fault.h"
#include "support/table_file.h"

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

// testdata/destinations.table: the emergency log each destination selects,
// configured once.
TEST(ClientLog, DestinationSelectsTheEmergencyLog) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  dir.write("e.log", "");
  RunTable(CLIENT_TEST_DATA "/destinations.table", [&](const Row &r) -> std::vector<std::string> {
    const std::string destination = std::regex_replace(r[0], std::regex("DIR"), dir.path());
    ClientLog *log = NewClientLog("proc", r.c_str(0) ? destination.c_str() : nullptr, 3, "/x", 1, 1,
                                  GetMsgTypeTable(), nullptr);
    fi::Arm(fi::Call::kAlloc, r.Number(1));
    EXPECT_EQ(ReplayToEmergencyLog(log, nullptr), 0u);
    EXPECT_EQ(fi::Disarm().failed, r.Number(1) != 0);
    EmergencyLog *first = log->emergency;
    ConfigureEmergencyLog(log);
    EXPECT_EQ(log->emergency, first) << "configured once";
    const char *kinds[] = {"file", "syslog", "discard"};
    std::vector<std::string> got = {kinds[first->kind], std::to_string(first->threshold)};
    FreeClientLog(log);
    return got;
  });
}

// The level test; a record that cannot be gathered (no message type, no
// memory for the message or for the record) is lost with what was gathered
// before it. A message that cannot take its end record (no memory for it)
// is broken: the transaction refuses it with 406 before writing anything,
// and its records cannot be read back.
TEST(ClientLog, LevelTestAndRecordsLostForLackOfMemory) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  ClientLog *log = NewClientLog(nullptr, nullptr, 2, nullptr, 1, 1, GetMsgTypeTable(), nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(ClientLogEnabled(log, 2) && !ClientLogEnabled(log, 1) && !ClientLogEnabled(log, -1));
  EXPECT_FALSE(ClientLogEnabled(nullptr, 5));
  EXPECT_EQ(Write(log, 1, 1, "dropped"), 0u);
  EXPECT_EQ(log->pending, nullptr);
  EXPECT_EQ(Write(nullptr, 5, 1, "no log"), 0u);
  EXPECT_TRUE(ClientLogStartSending(nullptr) == 0 && ConnectAndSend(nullptr) == 0);
  EXPECT_EQ(ClientLogStartSending(log), 0u) << "nothing pending: nothing to send";
  EXPECT_TRUE(log->session == nullptr && log->emergency == nullptr);
  FreeClientLog(log);
  FreeClientLog(nullptr);
  log = NewClientLog("proc", nullptr, 0, "/x", 1, 1, nullptr, nullptr);  // no type table
  EXPECT_EQ(Write(log, 2, 1, "x"), 1u);
  EXPECT_EQ(log->pending, nullptr);
  FreeClientLog(log);

  ContextFiles f;
  Agent agent({.path = f.socket});
  log = f.NewLog(2);
  ASSERT_EQ(ConnectAndSend(log), 0u) << "opens the session; nothing to send";
  for (bool end_record : {false, true}) {
    EXPECT_EQ(Write(log, 2, 1, std::string(420, 'x').c_str()), 0u);
    ASSERT_LT(log->pending->buf.end - log->pending->buf.cur, 40) << "the next record needs a bigger block";
    fi::Arm(fi::Call::kAlloc, 1);
    const uint32_t status = end_record ? ConnectAndSend(log) : Write(log, 2, 2, "x");
    EXPECT_EQ(fi::Disarm().failed, 1);
    EXPECT_EQ(status, end_record ? 406u : 1u);
    EXPECT_EQ(log->pending, nullptr);
  }
  FreeClientLog(log);
  EXPECT_EQ(
      f.Records("proc"),
      std::vector<std::string>{"WARNING: Failed to send log message: Invalid message handle or operation"});
  EXPECT_EQ(agent.Count(MSGTYPE_CONTROL_LOG2), 0);
}

// The local time stamp ("%b %d %T") of `t`.
std::string Stamp(time_t t) {
  struct tm local;
  char text[64];
  localtime_r(&t, &local);
  return std::string(text, strftime(text, sizeof text, "%b %d %T", &local));
}

// A file line: local time, ident (a null one as "unkown"), pid, level name
// ("INFO" for a level out of range) and text, the text cut at 509
// characters and the whole line at 1020. One record is one line: control
// bytes but tab are escaped, in the ident too (a backslash stays), and the
// cut leaves out an escape that does not fit whole.
TEST(EmergencyFileLog, LinesShowTimeIdentPidLevelAndEscapedText) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const int saved_stdin = dup(0);
  bool first = true;
  for (const Row &c : ReadTable(CLIENT_TEST_DATA "/emergency_lines.table")) {
    SCOPED_TRACE(c.where);
    TempDir dir;
    const std::string path = dir.write("emergency.log", "");
    if (first) close(0);  // the first log gets descriptor 0, owned and closed like any other
    const int fds = CountOpenFds();
    uint32_t status = 99;
    EmergencyLog *log = OpenFileLog(c.c_str(0), path.c_str(), &status);
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(status == 0 && log->kind == EMERGENCY_LOG_FILE && log->threshold == 2u);
    EXPECT_EQ(fcntl(log->handle, F_GETFL) & O_NONBLOCK, 0) << "blocking again once checked";
    EXPECT_EQ(CountOpenFds(), fds + 1);
    EXPECT_EQ(EmergencyLogWrite(log, 1, "below the threshold"), 0u);
    EXPECT_EQ(EmergencyLogSetLevel(log, 6), 2u) << "above FATAL: unchanged";
    EXPECT_EQ(EmergencyLogSetLevel(log, 0), 2u);
    const time_t before = time(nullptr);
    EXPECT_EQ(EmergencyLogWrite(log, static_cast<int32_t>(c.Number(1)), "%s", c[2].c_str()), 0u);
    EXPECT_EQ(log->handle == 0, first);
    CloseEmergencyLog(log);
    EXPECT_EQ(CountOpenFds(), fds);
    if (std::exchange(first, false)) dup2(saved_stdin, 0);  // the count above shows 0 was closed
    const std::string line = ReadFile(path);
    EXPECT_TRUE(line.substr(0, 15) == Stamp(before) || line.substr(0, 15) == Stamp(time(nullptr))) << line;
    const std::string expected =
        std::regex_replace(c.results.at(0), std::regex("PID"), std::to_string(getpid()));
    EXPECT_EQ(line.substr(std::min<size_t>(line.size(), 16)), expected.substr(0, 1020 - 16 - 1) + "\n");
  }
  close(saved_stdin);
  EmergencyLog *discard = OpenDiscardLog(nullptr);
  ASSERT_NE(discard, nullptr);
  EXPECT_TRUE(discard->kind == EMERGENCY_LOG_DISCARD && EmergencyLogWrite(discard, 5, "x") == 0);
  EXPECT_TRUE(EmergencyLogSetLevel(nullptr, 0) == 2 && EmergencyLogWrite(nullptr, 5, "x") == 0);
  CloseEmergencyLog(discard);
  CloseEmergencyLog(nullptr);
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
  std::string escapes;
  for (int i = 0; i < 125; ++i) escapes += "\\x1b";
  const std::vector<std::string> expected = {
      // local3 (152) | err (3); one record is one line: control bytes
      // escaped, no escape cut.
      "155 ident" + pid + ": ERROR: x\\n* * * * * root /tmp/evil.sh\\x1b\\r 7",
      "155 ident" + pid + ": ERROR: " + escapes,  // as many as fit in 510 characters
      "156 ident" + pid + ": WARNING: warn 7",    // local3 | warning (4)
      "159 ident" + pid + ": DEBUG: debug 7",     // local3 | debug (7)
      "8 proc" + pid + ": FATAL: fatal",          // "syslog": user (8) | emerg (0)
  };
  EXPECT_EQ(got, expected);
}

}  // namespace
