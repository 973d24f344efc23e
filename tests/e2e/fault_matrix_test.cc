// Fault matrix: every way the agent's transport can fail, during every
// action of vxaccounts and during the forwarding of its client log. Each
// cell runs the real command against a misbehaving vxagent-sim (one process
// and one private mount namespace per cell, as in vxaccounts_e2e_test.cc).
//
// Rows are failures, columns actions; the action's own request carries the
// fault (status 111, reload 112, list 113, dump 114, log forwarding 107 while
// listing). Handshake faults hit every connection, the user lookup and the
// audit event included. "Agent killed" is the `exit` fault on 111 (on 901,
// the user lookup, for dump, which sends no 111), and on 107 for forwarding,
// where the records gathered at start go out before the session is opened,
// so the agent is gone by then.
// Time-outs: lrpc.timeout 1 s, lrpc.connect.timeout 1 s.
//
//                      | status -s  | reload -R | list -l all -u | dump -d user | log forwarding (list)
// ---------------------+------------+-----------+----------------+--------------+----------------------
// refused handshake    | 157 conf   | 13        | 13             | 13           | 13
// silent handshake     | 157 conf   | 13        | 13             | 13           | 13
// silent agent         | 157 conf   | 158       | 159            | 255          | 0, file
// close mid-frame      | 157 conf   | 158       | 159            | 255          | 0, file
// wrong magic          | 157 conf   | 158       | 159            | 255          | 0, file
// short length (4)     | 157 conf   | 158       | 159            | 255          | 0, file
// huge length          | 157 conf   | 158       | 159            | 255          | 0, file
// invalid body         | 157 conf   | 158       | 159            | 255          | 0, file
// endless challenges   | 157 conf   | 158       | 159            | 255          | 0, file
// agent killed         | 156 agent  | 158       | 159            | 13           | 13
//
// "157 conf": the status falls back to the configuration, which says
// disabled while the agent would say enabled. "0, file": the list succeeds,
// the log goes on in the emergency file. In every cell: that exit status and
// its message on stdout/stderr; no signal ended the command (SIGPIPE); the
// run took no longer than the time-outs it had to wait for plus one second;
// and every client-log record of the run - the TRACE dump of each request
// the agent received, the WARNING of the failed request or log message, the
// DEBUG report of a failed open - is at the agent (log2.log) or in
// /var/log/quarnel_client.log.
//
// Silent handshakes also wait for the two fixed 5-second connect time-outs
// of the support library (user lookup, audit event), which the configured
// lrpc.connect.timeout does not govern; their bound counts them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"
#include "support/temp_dir.h"

#ifndef VX_E2E_VXACCOUNTS
#error "VX_E2E_VXACCOUNTS must name the vxaccounts binary"
#endif
#ifndef VX_E2E_AGENTSIM
#error "VX_E2E_AGENTSIM must name the vxagent-sim binary"
#endif

namespace vxe2e {
namespace {

constexpr double kTimeoutSeconds = 1;       // lrpc.timeout and lrpc.connect.timeout
constexpr double kFixedConnectSeconds = 5;  // support library: user lookup and audit event
constexpr double kSlackSeconds = 1;
constexpr double kRunLimitSeconds = 60;
constexpr double kSyncSeconds = 2;

const char kEntries[] =
    "alice:x:1001:1001:Alice Archer:/home/alice:/bin/bash\n"
    "bob:x:1002:1002::/home/bob:/bin/sh\n";
const char kSocket[] = "/var/vorlex/daemon2";

enum Column { kStatus, kReload, kList, kDump, kLogForwarding, kColumns };

struct Action {
  const char *name;
  std::vector<std::string> args;
  int request;       // the request type that carries the fault
  bool manage;       // vxagent.local.account.manage in the configuration
  bool audited;      // the run ends with an audit event (always when no session opens)
};

const Action kActions[kColumns] = {
    {"Status", {"-s"}, 111, false, true},
    {"Reload", {"-R"}, 112, true, true},
    {"List", {"-l", "all", "-u"}, 113, true, true},
    {"Dump", {"-d", "user"}, 114, true, false},
    {"LogForwarding", {"-l", "all", "-u"}, 107, true, true},
};

// How a cell ends.
enum Outcome {
  kAnswered,       // the action completed with the agent's answer
  kFallback,       // status only: the configuration decided
  kRequestFailed,  // the action's request failed: 158, 159, 255
  kNoSession,      // the session could not be opened: 13
};

enum class Scope { kHandshake, kRequest, kKilled };

struct Failure {
  const char *name;
  Scope scope;
  const char *kind;    // fault kind, e.g. "silent" or "refuse"
  const char *reason;  // transport text of the failed request, open or log send
  int connect_waits;   // configured time-outs the run waits for
  int fixed_waits;     // fixed 5-second waits of the support library (plus the audit's when audited)
  Outcome outcome[kColumns];
};

const Failure kFailures[] = {
    {"RefusedHandshake", Scope::kHandshake, "refuse", "Invalid message handle or operation", 0, 0,
     {kFallback, kNoSession, kNoSession, kNoSession, kNoSession}},
    {"SilentHandshake", Scope::kHandshake, "silent", "Timeout during operation", 2, 1,
     {kFallback, kNoSession, kNoSession, kNoSession, kNoSession}},
    {"SilentAgent", Scope::kRequest, "silent", "Timeout during operation", 1, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"CloseMidFrame", Scope::kRequest, "close-mid", "Socket closed", 0, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"WrongMagic", Scope::kRequest, "bad-magic", "Socket error", 0, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"ShortLength", Scope::kRequest, "short-length", "Socket error", 0, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"HugeLength", Scope::kRequest, "huge-length", "Socket error", 0, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"InvalidBody", Scope::kRequest, "invalid-body", "Socket error", 0, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"EndlessChallenges", Scope::kRequest, "challenge=20", "Process authentication failed", 0, 0,
     {kFallback, kRequestFailed, kRequestFailed, kRequestFailed, kAnswered}},
    {"AgentKilled", Scope::kKilled, "exit", "Socket closed", 0, 0,
     {kAnswered, kRequestFailed, kRequestFailed, kNoSession, kNoSession}},
};

struct Cell {
  const Failure *failure;
  Column column;
};

std::vector<Cell> AllCells() {
  std::vector<Cell> cells;
  for (const Failure &f : kFailures)
    for (int c = 0; c < kColumns; ++c) cells.push_back({&f, static_cast<Column>(c)});
  return cells;
}

std::string CellName(const Cell &cell) { return std::string(cell.failure->name) + "During" + kActions[cell.column].name; }

void PrintTo(const Cell &cell, std::ostream *os) { *os << CellName(cell); }

std::vector<std::string> Faults(const Cell &cell) {
  const Failure &f = *cell.failure;
  const Action &a = kActions[cell.column];
  switch (f.scope) {
    case Scope::kHandshake: return {std::string("handshake:") + f.kind};
    case Scope::kRequest: return {std::to_string(a.request) + ":" + f.kind};
    case Scope::kKilled: break;
  }
  int victim = cell.column == kDump ? 901 : cell.column == kLogForwarding ? 107 : 111;
  return {std::to_string(victim) + ":exit"};
}

std::string Config(const Action &a) {
  std::ostringstream conf;
  conf << "vxagent.local.account.manage: " << (a.manage ? "true" : "false") << "\n"
       << "lrpc.timeout: " << kTimeoutSeconds << "\nlrpc.connect.timeout: " << kTimeoutSeconds << "\n"
       << "log.vxaccounts: trace\n";
  return conf.str();
}

struct Expected {
  int status;
  std::string out, err;
};

Expected ExpectedEnd(Column column, Outcome outcome) {
  const std::string not_running = "vxagent is not running/not available\n";
  switch (outcome) {
    case kFallback: return {157, "Manage Local Account Feature is disabled\n", ""};
    case kNoSession: return {13, "", not_running};
    case kAnswered: break;
    case kRequestFailed:
      if (column == kReload) return {158, "", "Failed to reload local account\n"};
      if (column == kDump) return {255, "", ""};
      return {159, "", "Failed to list local account\n"};
  }
  if (column == kStatus) return {156, "Manage Local Account Feature is enabled\n", ""};
  if (column == kReload) return {0, "", ""};
  return {0, kEntries, ""};
}

// One client-log record, wherever it ended up.
struct Record {
  std::string level, text;
};

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> SplitTabs(const std::string &line) {
  std::vector<std::string> cells;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
    cells.push_back(line.substr(start, tab - start));
  cells.push_back(line.substr(start));
  return cells;
}

// The agent writes backslash, tab and newline escaped; undo it.
std::string Unescape(const std::string &field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    char next = field[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

const char *const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};

// Records of process `pid` at the agent: msgno, time, process, pid, level,
// file, line, function, text.
std::vector<Record> AgentRecords(const std::string &log2, pid_t pid) {
  std::vector<Record> records;
  for (const auto &line : SplitLines(log2)) {
    auto cells = SplitTabs(line);
    EXPECT_NE(cells.size() > 1 ? cells[1] : "", "MALFORMED") << "the agent could not read a log message: " << line;
    if (cells.size() != 9 || cells[3] != std::to_string(pid)) continue;
    int level = atoi(cells[4].c_str());
    records.push_back({level >= 0 && level <= 5 ? kLevelNames[level] : "INFO", Unescape(cells[8])});
  }
  return records;
}

// Lines "Mmm dd hh:mm:ss vxaccounts[pid] LEVEL: text" of process `pid`.
std::vector<Record> FileRecords(const std::string &content, pid_t pid) {
  std::vector<Record> records;
  const std::string ident = " vxaccounts[" + std::to_string(pid) + "] ";
  for (const auto &line : SplitLines(content)) {
    size_t at = line.find(ident);
    if (at == std::string::npos) continue;
    std::string rest = line.substr(at + ident.size());
    size_t colon = rest.find(": ");
    if (colon == std::string::npos) continue;
    records.push_back({rest.substr(0, colon), rest.substr(colon + 2)});
  }
  return records;
}

struct WantRecord {
  std::string level, text;
  bool prefix;
};

bool Found(const WantRecord &want, const std::vector<Record> &records) {
  for (const Record &r : records) {
    if (r.level != want.level) continue;
    if (want.prefix ? r.text.rfind(want.text, 0) == 0 : r.text == want.text) return true;
  }
  return false;
}

// The records the cell must leave: the dump of every request the agent
// received, and the report of what failed.
std::vector<WantRecord> WantedRecords(const Cell &cell, const std::string &requests_log) {
  std::vector<WantRecord> want;
  for (const auto &line : SplitLines(requests_log)) {
    auto cells = SplitTabs(line);
    int type = atoi(cells[0].c_str());
    if (cells.size() == 2 && type >= 111 && type <= 114) want.push_back({"TRACE", "Request: " + Unescape(cells[1]), false});
  }
  const Failure &f = *cell.failure;
  const Action &a = kActions[cell.column];
  Outcome outcome = f.outcome[cell.column];
  bool forwarding = cell.column == kLogForwarding;
  if (f.scope == Scope::kHandshake) {
    want.push_back({"DEBUG", std::string("Failed to open logging connection to vxagent through '") + kSocket + "': " +
                                 f.reason, false});
    want.push_back({"DEBUG", std::string("Failed to open connection to vxagent through '") + kSocket + "' " + f.reason +
                                 " (", true});
  } else if (outcome == kNoSession) {  // the agent is gone before the session
    want.push_back({"DEBUG", std::string("Failed to open connection to vxagent through '") + kSocket + "' ", true});
    if (forwarding) want.push_back({"WARNING", std::string("Failed to send log message: ") + f.reason, false});
  } else if (forwarding && f.scope == Scope::kRequest) {
    want.push_back({"WARNING", std::string("Failed to send log message: ") + f.reason, false});
  } else if (outcome != kAnswered) {
    want.push_back({"WARNING", std::string("Failed to send message: ") + f.reason + ", MsgType: " +
                                   std::to_string(a.request) + ".", false});
  }
  return want;
}

double MaxSeconds(const Cell &cell) {
  const Failure &f = *cell.failure;
  bool audited = kActions[cell.column].audited || f.outcome[cell.column] == kNoSession;
  int fixed = f.fixed_waits + (f.fixed_waits > 0 && audited ? 1 : 0);
  return f.connect_waits * kTimeoutSeconds + fixed * kFixedConnectSeconds + kSlackSeconds;
}

double MinSeconds(const Cell &cell) { return cell.failure->connect_waits * kTimeoutSeconds - 0.05; }

void WriteData(const vxtest::TempDir &dir) {
  dir.write("passwd", kEntries);
  dir.write("group", "staff:x:2001:alice,bob\n");
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  void SetUp() override {
    const std::string &reason = EnterSandbox();
    if (!reason.empty()) GTEST_SKIP() << "skipped: " << reason;
  }
};

TEST_P(FaultMatrix, EndsAsSpecifiedWithinTimeOutAndKeepsEveryRecord) {
  const Cell &cell = GetParam();
  const Action &action = kActions[cell.column];
  ResetState(Config(action), 0644);
  vxtest::TempDir data, record;
  WriteData(data);
  Agent agent;
  ASSERT_EQ(agent.Start(VX_E2E_AGENTSIM, data.path(), record.path(), Faults(cell)), "")
      << ReadWhole(agent.log_path());
  RunResult run = RunProgram(VX_E2E_VXACCOUNTS, action.args, false, kRunLimitSeconds);
  if (cell.failure->scope != Scope::kHandshake) agent.Sync(kSyncSeconds);
  agent.Stop();

  ASSERT_FALSE(run.timed_out) << "vxaccounts did not end within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.signal, 0) << "vxaccounts was ended by signal " << run.signal;
  Expected end = ExpectedEnd(cell.column, cell.failure->outcome[cell.column]);
  EXPECT_EQ(run.status, end.status);
  EXPECT_EQ(run.out, end.out);
  EXPECT_EQ(run.err, end.err);
  EXPECT_LE(run.seconds, MaxSeconds(cell)) << "longer than the time-outs it waits for";
  EXPECT_GE(run.seconds, MinSeconds(cell)) << "the configured time-out was not waited for";

  std::string log2 = ReadWhole(record.file("log2.log"));
  std::string file = ReadWhole("/var/log/quarnel_client.log");
  std::vector<Record> at_agent = AgentRecords(log2, run.pid), in_file = FileRecords(file, run.pid);
  for (const WantRecord &want : WantedRecords(cell, ReadWhole(record.file("requests.log")))) {
    EXPECT_TRUE(Found(want, at_agent) || Found(want, in_file))
        << "lost: " << want.level << " \"" << want.text << "\"" << (want.prefix ? "..." : "")
        << "\nlog2.log:\n" << log2 << "\nemergency file:\n" << file;
  }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrix, ::testing::ValuesIn(AllCells()),
                         [](const ::testing::TestParamInfo<Cell> &param) { return CellName(param.param); });

}  // namespace
}  // namespace vxe2e
