// Fault matrix: every transport failure of the agent (rows) during every
// action and during the forwarding of the client log (columns). The fault
// rides on the action's own request (107 for forwarding); handshake faults hit
// every connection; "agent killed" exits after the column's victim request;
// an impostor (the agent run by another user) is refused on every session and
// must receive nothing.
// Every cell: exit status and message, no signal (SIGPIPE), no longer than the
// time-outs waited for plus one second, and every client-log record (TRACE
// dump of each request the agent got, WARNING of the failed request or log
// message, DEBUG of a failed open) at the agent or in the emergency log.
#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace vxe2e {
namespace {

constexpr double kTimeoutSeconds = 1;       // lrpc.timeout and lrpc.connect.timeout
constexpr double kFixedConnectSeconds = 5;  // support library: user lookup and audit event
constexpr double kSlackSeconds = 1;

const char kEntries[] =
    "alice:x:1001:1001:Alice Archer:/home/alice:/bin/bash\nbob:x:1002:1002::/home/bob:/bin/sh\n";
const char kOpen[] = "Failed to open connection to vxagent through '/var/vorlex/daemon2' ";
const char kNoLogSession[] = "Failed to open logging connection to vxagent through '/var/vorlex/daemon2': ";
const char kRefused[] = "Refused peer at '";
// Users of the large list: enough that the reply (over 1 MiB) is read into a
// mapping rather than a heap block.
constexpr int kLargeListUsers = 30000;

struct End {
  int status;
  const char *out, *err;
};
const End kFallback{157, "Manage Local Account Feature is disabled\n", ""};
const End kNoSession{13, "", "vxagent is not running/not available\n"};

struct Action {
  const char *name;
  std::vector<std::string> args;
  int request;  // the request that carries the fault
  int victim;   // the one after which a killed agent exits: dump sends no 111; forwarding's
                // records gathered at start go out before the session, so it is gone by then
  bool manage;  // vxagent.local.account.manage in the configuration
  End answered, failed;
  bool large = false;  // the agent holds kLargeListUsers users instead of kEntries
};
const End kListFailed{159, "", "Failed to list local account\n"};
// clang-format off
const Action kActions[] = {
    {"Status", {"-s"}, 111, 111, false, {156, "Manage Local Account Feature is enabled\n", ""}, {}},
    {"Reload", {"-R"}, 112, 111, true, {0, "", ""}, {158, "", "Failed to reload local account\n"}},
    {"List", {"-l", "all", "-u"}, 113, 111, true, {0, kEntries, ""}, kListFailed},
    {"Dump", {"-d", "user"}, 114, 901, true, {0, kEntries, ""}, {255, "", ""}},
    {"LogForwarding", {"-l", "all", "-u"}, 107, 107, true, {0, kEntries, ""}, {}},
    {"LargeList", {"-l", "all", "-u"}, 113, 111, true, {0, kEntries, ""}, kListFailed, true},
};

// Per column, how a cell ends: A the answer (`answered`), C the status from
// the configuration (which says disabled where the agent says enabled),
// F the request failed (`failed`), N no session (13); - a cell not run,
// because another cell of the row ends the same way: the four damaged-frame
// rows give the same status (the transport tests tell them apart), and the
// silent handshake waits out the same time-outs in every column that has no
// session.
enum Scope { kHandshake, kRequest, kKilled, kImpostor };
struct Failure {
  const char *name;
  Scope scope;
  const char *kind;     // fault kind, e.g. "silent" or "refuse"
  const char *reason;   // transport text of the failed request, open or log send
  int waits;            // configured time-outs the run waits for
  int fixed_waits;      // fixed 5-second connect time-outs of the support library (user lookup, audit)
  const char *outcome;  // per column: status, reload, list, dump, log forwarding, large list
};
const Failure kFailures[] = {
    {"RefusedHandshake", kHandshake, "refuse", "Invalid message handle or operation", 0, 0, "CNNNNN"},
    {"SilentHandshake", kHandshake, "silent", "Timeout during operation", 2, 2, "C-N---"},
    {"TrickledHandshake", kHandshake, "trickle=0.4", "Timeout during operation", 2, 2, "C-N---"},
    {"ImpostorAgent", kImpostor, "", "Peer is neither root nor the calling user", 0, 0, "CNNNNN"},
    {"SilentAgent", kRequest, "silent", "Timeout during operation", 1, 0, "CFFFAF"},
    {"TrickledReply", kRequest, "trickle=0.4", "Timeout during operation", 1, 0, "CFFFAF"},
    {"CloseMidFrame", kRequest, "close-mid", "Socket closed", 0, 0, "CFFFAF"},
    {"WrongMagic", kRequest, "bad-magic", "Socket error", 0, 0, "CFFFAF"},
    {"ShortLength", kRequest, "short-length", "Socket error", 0, 0, "--F---"},
    {"HugeLength", kRequest, "huge-length", "Socket error", 0, 0, "---F-F"},
    {"InvalidBody", kRequest, "invalid-body", "Socket error", 0, 0, "-F---F"},
    {"EndlessChallenges", kRequest, "challenge=20", "Process authentication failed", 0, 0, "CFFFAF"},
    {"AgentKilled", kKilled, "exit", "Socket closed", 0, 0, "AFFNNF"},
};
// clang-format on

struct Cell {
  const Failure *f;
  const Action *a;
  char outcome;
  End end;
};

End EndOf(const Action &a, char outcome) {
  if (outcome == 'A') return a.answered;
  if (outcome == 'F') return a.failed;
  return outcome == 'C' ? kFallback : kNoSession;
}

std::vector<Cell> AllCells() {
  std::vector<Cell> cells;
  for (const Failure &f : kFailures)
    for (size_t c = 0; c < std::size(kActions); ++c)
      if (f.outcome[c] != '-')
        cells.push_back({&f, &kActions[c], f.outcome[c], EndOf(kActions[c], f.outcome[c])});
  return cells;
}

std::string Name(const Cell &cell) { return S(cell.f->name, "During", cell.a->name); }
void PrintTo(const Cell &cell, std::ostream *os) { *os << Name(cell); }

std::vector<std::string> Faults(const Cell &cell) {
  if (cell.f->scope == kImpostor) return {};
  if (cell.f->scope == kHandshake) return {S("handshake:", cell.f->kind)};
  return {S(std::to_string(cell.f->scope == kRequest ? cell.a->request : cell.a->victim), ":", cell.f->kind)};
}

// The dump of every request the agent received, and the report of what failed.
std::vector<Rec> WantedRecords(const Cell &cell, const std::string &requests_log) {
  std::vector<Rec> want;
  for (const auto &line : Split(requests_log, '\n')) {
    auto cells = Split(line, '\t');
    int type = atoi(cells[0].c_str());
    if (cells.size() == 2 && type >= 111 && type <= 114)
      want.push_back({kTrace, "Request: " + Unescape(cells[1])});
  }
  const char *reason = cell.f->reason;
  if (cell.f->scope == kImpostor)
    return {{kDebug, S(kNoLogSession, reason)},
            {kDebug, S(kOpen, reason, " (Operation not permitted)")},
            {kDebug, S(kRefused, "/var/vorlex/daemon2': uid 65534, pid "), true}};
  if (cell.f->scope == kHandshake)
    return {{kDebug, S(kNoLogSession, reason)}, {kDebug, S(kOpen, reason, " ("), true}};
  if (cell.outcome == 'N') want.push_back({kDebug, kOpen, true});  // the agent is gone before the session
  if (cell.a->request == 107) {
    want.push_back({kWarning, S("Failed to send log message: ", reason)});
  } else if (cell.outcome == 'F' || cell.outcome == 'C') {
    want.push_back({kWarning, S("Failed to send message: ", reason,
                                ", MsgType: ", std::to_string(cell.a->request), ".")});
  }
  return want;
}

class FaultMatrix : public SandboxTest<Cell> {};

TEST_P(FaultMatrix, EndsWithItsStatusWithinTimeOutAndKeepsEveryRecord) {
  const Cell &cell = GetParam();
  ResetState(S("vxagent.local.account.manage: ", cell.a->manage ? "true" : "false",
               "\nlrpc.timeout: 1\nlrpc.connect.timeout: 1\nlog.vxaccounts: trace\nlog.kest: debug\n"));
  // The passwd file of the agent, which is also what a list that succeeds prints.
  const std::string passwd = cell.a->large ? Users(kLargeListUsers) : kEntries;
  Agent agent;
  const bool impostor = cell.f->scope == kImpostor;
  ASSERT_EQ(agent.Start({{"passwd", passwd}, {"group", "staff:x:2001:alice,bob\n"}}, Faults(cell), impostor),
            "");
  RunResult run = RunVxaccounts(cell.a->args);
  agent.Stop(cell.f->scope != kHandshake);

  ASSERT_FALSE(run.timed_out) << "vxaccounts did not end within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.signal, 0) << "vxaccounts was ended by signal " << run.signal;
  EXPECT_EQ(run.status, cell.end.status);
  EXPECT_EQ(run.out, cell.end.out == kEntries ? passwd : cell.end.out);
  EXPECT_EQ(run.err, cell.end.err);
  EXPECT_LE(run.seconds,
            cell.f->waits * kTimeoutSeconds + cell.f->fixed_waits * kFixedConnectSeconds + kSlackSeconds)
      << "longer than the time-outs it waits for";
  EXPECT_GE(run.seconds, cell.f->waits * kTimeoutSeconds - 0.05)
      << "the configured time-out was not waited for";

  std::string log2 = agent.Record("log2.log"), file = vxtest::ReadFile(kEmergencyLog);
  std::vector<LogRecord> got = AgentLog(log2, run.pid), in_file = EmergencyLog(file, run.pid);
  got.insert(got.end(), in_file.begin(), in_file.end());
  for (const Rec &want : WantedRecords(cell, agent.Record("requests.log")))
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [&](const LogRecord &r) { return Matches(want, r); }))
        << "lost: " << want.level << " \"" << want.text << "\"" << (want.prefix ? "..." : "")
        << "\nlog2.log:\n"
        << log2 << "\nemergency log:\n"
        << file;
  if (!impostor) return;
  // Not a request, log record or audit event went to it; the support
  // library's sessions (principal name, audit event) name it too.
  EXPECT_EQ(agent.Record("frames.log"), "");
  for (const char *socket : {"/var/vorlex/daemon'", "/var/vorlex/daemon2'"})
    EXPECT_TRUE(std::any_of(run.syslog.begin(), run.syslog.end(),
                            [&](const SyslogRecord &r) {
                              return r.text.find(S(kRefused, socket, ": uid 65534, pid ")) !=
                                     std::string::npos;
                            }))
        << "no DEBUG record of the refused peer at " << socket;
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrix, ::testing::ValuesIn(AllCells()),
                         [](const auto &param) { return Name(param.param); });

}  // namespace
}  // namespace vxe2e
