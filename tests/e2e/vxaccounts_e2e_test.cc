// The real vxaccounts against vxagent-sim, one row per way a run can end:
// the cases of testdata/runs.txt and the fault matrix built below. A row gives
// the command line, caller, agent state and faults and the configuration, and
// everything the run must leave: exit status, stdout, stderr, the audit event
// (at the agent or its syslog fall-back), the account requests the agent saw
// and the sessions that carried them, the credentials on every frame, the
// client-log records and the run time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "support/sanitizer.h"

namespace vxe2e {
namespace {

constexpr char kUpn[] = "admin@VORLEX.TEST";  // the principal the agent gives root
// Made by the preloaded calloc (fail_release_list_block.c) when it fails.
constexpr char kFailMark[] = "/var/log/calloc-failed";
constexpr double kAwaitSeconds = 10;
const char *const kLevels[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
enum { kTrace, kDebug, kWarning = 3 };
// The agent's data, which lists and dumps print.
const char kAlice[] = "alice:x:1001:1001:Alice Archer:/home/alice:/bin/bash\n";
const char kBob[] = "bob:x:1002:1002:Bob 100% Builder:/home/bob:/bin/sh\n";
const char kCarol[] = "carol:x:1003:1003::/home/carol:/bin/false\n";
const char kGroups[] = "staff:x:2001:alice,bob\nadmins:x:2002:carol\nwheel:x:2003:\n";

// A client-log record; an expected one matches the whole text or, with
// `prefix`, its start, and file and function only when given (the emergency
// log has neither).
struct Rec {
  int level = -1;
  std::string text, file{}, function{};
  bool prefix = false;
};

struct Audit {
  std::string where{}, user{}, message{};  // where: "agent" or "syslog"
  int event = 0;                           // 0: no audit event anywhere
};

// One run; see testdata/runs.txt for the meaning of each field.
struct Row {
  std::string name, error{};  // error: what the table reader could not take
  std::vector<std::string> args{}, wrapper{}, faults{};
  bool nobody = false, agent = true, impostor = false, head = false, fail_list_block = false;
  int users = 0, closed_fd = -1, status = -1;
  std::string conf{};  // empty: "vxagent.local.account.manage: true"
  unsigned conf_mode = 0644;
  std::string out{}, err{}, err_regex{};
  Audit audit{};
  std::vector<int> requests{};
  size_t sessions = 1;
  std::vector<Rec> records{}, absent{};
  bool emergency_empty = false;
  std::vector<std::pair<int, std::string>> syslog{};
  double min_seconds = 0, max_seconds = 5;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

// A whole decimal (or, with `base` 8, octal) number; throws on anything else.
int Int(const std::string &text, int base = 10) {
  size_t used = 0;
  const int n = std::stoi(text, &used, base);
  if (used != text.size()) throw std::invalid_argument(text);
  return n;
}

// The position of `text` among `choices`; throws when it is not there.
size_t OneOf(const std::string &text, const std::vector<std::string> &choices) {
  const auto it = std::find(choices.begin(), choices.end(), text);
  if (it == choices.end()) throw std::invalid_argument(text);
  return static_cast<size_t>(it - choices.begin());
}

// A key that takes no value; throws when it has one.
bool Flag(const std::string &value) { return OneOf(value, {""}) == 0; }

std::vector<std::string> Words(const std::string &text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The first word of `text` and the rest after one blank; throws when there is no blank.
std::pair<std::string, std::string> FirstWord(const std::string &text) {
  const size_t blank = text.find(' ');
  if (blank == std::string::npos) throw std::invalid_argument(text);
  return {text.substr(0, blank), text.substr(blank + 1)};
}

// "LEVEL[@FILE:FUNCTION] TEXT", TEXT ending in "..." for a prefix.
Rec ParseRec(const std::string &value) {
  const auto [head, text] = FirstWord(value);
  const size_t at = head.find('@'), colon = head.rfind(':');
  Rec r{.level = static_cast<int>(OneOf(head.substr(0, at), {kLevels, kLevels + 6})), .text = text};
  if (at != std::string::npos && (colon == std::string::npos || colon < at))
    throw std::invalid_argument(head);
  if (at != std::string::npos)
    r.file = head.substr(at + 1, colon - at - 1), r.function = head.substr(colon + 1);
  r.prefix = text.size() >= 3 && text.compare(text.size() - 3, 3, "...") == 0;
  if (r.prefix) r.text.resize(text.size() - 3);
  return r;
}

// "WHERE EVENT USER [MESSAGE]": a failure (2001) has a message, a success (2000) none.
Audit ParseAudit(const std::string &value) {
  std::istringstream in(value);
  Audit a;
  std::string event;
  if (!(in >> a.where >> event >> a.user)) throw std::invalid_argument(value);
  std::getline(in >> std::ws, a.message);
  a.event = Int(event);
  OneOf(a.where, {"agent", "syslog"});
  if (a.event != (a.message.empty() ? 2000 : 2001)) throw std::invalid_argument(value);
  return a;
}

// "MIN MAX" seconds.
std::pair<double, double> ParseSeconds(const std::string &value) {
  std::istringstream in(value);
  std::pair<double, double> bounds;
  if (!(in >> bounds.first >> bounds.second) || !(in >> std::ws).eof()) throw std::invalid_argument(value);
  return bounds;
}

// Each key of testdata/runs.txt: whether it may repeat, and what it sets.
struct Field {
  bool repeatable;
  void (*set)(Row &, const std::string &);
};
// clang-format off
const std::map<std::string, Field> kFields{
    {"args", {false, [](Row &r, const std::string &v) { r.args = Words(v); }}},
    {"caller", {false, [](Row &r, const std::string &v) { r.nobody = OneOf(v, {"nobody"}) == 0; }}},
    {"wrapper", {false, [](Row &r, const std::string &v) { r.wrapper = Words(v); }}},
    {"agent", {false, [](Row &r, const std::string &v) { r.agent = r.impostor = OneOf(v, {"impostor", "none"}) == 0; }}},
    {"fault", {true, [](Row &r, const std::string &v) { r.faults.push_back(v); }}},
    {"users", {false, [](Row &r, const std::string &v) { r.users = Int(v); }}},
    {"conf", {true, [](Row &r, const std::string &v) { r.conf += v + "\n"; }}},
    {"conf-mode", {false, [](Row &r, const std::string &v) { r.conf_mode = static_cast<unsigned>(Int(v, 8)); }}},
    {"fail-list-block", {false, [](Row &r, const std::string &v) { r.fail_list_block = Flag(v); }}},
    {"closed-fd", {false, [](Row &r, const std::string &v) { r.closed_fd = Int(v); }}},
    {"head", {false, [](Row &r, const std::string &v) { r.head = Flag(v); }}},
    {"status", {false, [](Row &r, const std::string &v) { r.status = Int(v); }}},
    {"usage", {false, [](Row &r, const std::string &v) { if (Flag(v)) r.out = vxtest::ReadFile(VX_E2E_USAGE); }}},
    {"out", {true, [](Row &r, const std::string &v) { r.out += v + "\n"; }}},
    {"err", {true, [](Row &r, const std::string &v) { r.err += v + "\n"; }}},
    {"err-regex", {false, [](Row &r, const std::string &v) { r.err_regex = v; }}},
    {"audit", {false, [](Row &r, const std::string &v) { r.audit = ParseAudit(v); }}},
    {"requests", {false, [](Row &r, const std::string &v) { for (const auto &w : Words(v)) r.requests.push_back(Int(w)); }}},
    {"sessions", {false, [](Row &r, const std::string &v) { r.sessions = static_cast<size_t>(Int(v)); }}},
    {"record", {true, [](Row &r, const std::string &v) { r.records.push_back(ParseRec(v)); }}},
    {"absent", {true, [](Row &r, const std::string &v) { r.absent.push_back(ParseRec(v)); }}},
    {"emergency-empty", {false, [](Row &r, const std::string &v) { r.emergency_empty = Flag(v); }}},
    {"syslog", {true, [](Row &r, const std::string &v) { auto [p, t] = FirstWord(v); r.syslog.emplace_back(Int(p), t); }}},
    {"seconds", {false, [](Row &r, const std::string &v) { std::tie(r.min_seconds, r.max_seconds) = ParseSeconds(v); }}},
};
// clang-format on

// The cases of testdata/runs.txt. A line the reader cannot take fails the case
// it belongs to (a case of its own before the first one).
std::vector<Row> ReadTable() {
  std::vector<Row> rows;
  std::set<std::string> names, keys;
  std::ifstream in(VX_E2E_TABLE);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = std::min(line.find(' '), line.size());
    const std::string key = line.substr(0, blank),
                      value = Unescape(line.substr(std::min(blank + 1, line.size())));
    const std::string where = S("testdata/runs.txt:", std::to_string(number), ": ", line);
    if (key == "case") {
      const bool valid = std::regex_match(value, std::regex("[A-Za-z0-9]+")) && names.insert(value).second;
      rows.push_back({.name = valid ? value : S("Line", std::to_string(number)),
                      .error = valid ? "" : where + " (a name of letters and digits, once)\n"});
      keys.clear();
      continue;
    }
    if (rows.empty()) rows.push_back({.name = S("Line", std::to_string(number))});
    try {
      const auto field = kFields.find(key);
      if (field == kFields.end()) throw std::invalid_argument("unknown key");
      if (!keys.insert(key).second && !field->second.repeatable) throw std::invalid_argument("given twice");
      field->second.set(rows.back(), value);
    } catch (const std::exception &e) {
      rows.back().error += S(where, " (", e.what(), ")\n");
    }
  }
  for (Row &r : rows) r.error += r.status < 0 ? "no status\n" : "";
  if (rows.empty()) rows.push_back({.name = "Table", .error = "testdata/runs.txt: no case"});
  return rows;
}

// The fault matrix: every transport failure of the agent (rows) during every
// action and during the forwarding of the client log (columns). The fault
// rides on the action's own request (107 for forwarding); handshake faults hit
// every connection; "agent killed" exits after the column's victim request; an
// impostor (the agent run by another user) is refused on every session and
// must receive nothing. Time-outs are 1 s; every request the agent got is
// dumped at TRACE and the failure reported.
constexpr double kTimeoutSeconds = 1;       // lrpc.timeout and lrpc.connect.timeout
constexpr double kFixedConnectSeconds = 5;  // support library: user lookup and audit event
constexpr double kSlackSeconds = 1;
// Users of the large list: enough that the reply (over 1 MiB) is read into a
// mapping rather than a heap block.
constexpr int kLargeListUsers = 30000;
const char kOpen[] = "Failed to open connection to vxagent through '/var/vorlex/daemon2' ";
const char kNoLogSession[] = "Failed to open logging connection to vxagent through '/var/vorlex/daemon2': ";
const char kRefused[] = "Refused peer at '/var/vorlex/daemon";
const char kNotRunning[] = "vxagent is not running/not available\n";
const std::map<int, std::string> kDumps{{111, "ControlGetLocalAcctMgmtStatus[]"},
                                        {112, "ControlReloadLocalAccount[False,False]"},
                                        {113, "ControlListLocalAccount[\"all\",\"user\"]"},
                                        {114, "ControlDumpLocalAccount[\"user\"]"}};

struct End {
  int status;
  std::string out{}, err{};
};
const End kFallback{157, "Manage Local Account Feature is disabled\n"}, kNoSession{13, "", kNotRunning};
const End kListed{0, S(kAlice, kBob, kCarol)}, kListFailed{159, "", "Failed to list local account\n"};

struct Action {
  const char *name;
  std::vector<std::string> args;
  int request;  // the request that carries the fault
  int victim;   // the one after which a killed agent exits: dump sends no 111; forwarding's
                // records gathered at start go out before the session, so it is gone by then
  std::vector<int> requests;
  size_t before_kill;  // how many of them a killed agent gets
  bool manage;         // vxagent.local.account.manage in the configuration
  End answered, failed;
  int users = 0;
};
// clang-format off
const Action kActions[] = {
    {"Status", {"-s"}, 111, 111, {111}, 1, false, {156, "Manage Local Account Feature is enabled\n"}, {0}},
    {"Reload", {"-R"}, 112, 111, {111, 112}, 1, true, {0}, {158, "", "Failed to reload local account\n"}},
    {"List", {"-l", "all", "-u"}, 113, 111, {111, 113}, 1, true, kListed, kListFailed},
    {"Dump", {"-d", "user"}, 114, 901, {114}, 0, true, {0, S(kAlice, kBob, "\tremove\n", kCarol)}, {255}},
    {"LogForwarding", {"-l", "all", "-u"}, 107, 107, {111, 113}, 0, true, kListed, {0}},
    {"LargeList", {"-l", "all", "-u"}, 113, 111, {111, 113}, 1, true, kListed, kListFailed, kLargeListUsers},
};
// clang-format on

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
  int fixed_waits;      // fixed connect time-outs of the support library (user lookup, audit)
  bool support;         // its sessions get through (user lookup and audit event at the agent)
  const char *outcome;  // per column: status, reload, list, dump, log forwarding, large list
};
const Failure kFailures[] = {
    {"RefusedHandshake", kHandshake, "refuse", "Invalid message handle or operation", 0, 0, false, "CNNNNN"},
    {"SilentHandshake", kHandshake, "silent", "Timeout during operation", 2, 2, false, "C-N---"},
    {"TrickledHandshake", kHandshake, "trickle=0.4", "Timeout during operation", 2, 2, true, "C-N---"},
    {"ImpostorAgent", kImpostor, "", "Peer is neither root nor the calling user", 0, 0, false, "CNNNNN"},
    {"SilentAgent", kRequest, "silent", "Timeout during operation", 1, 0, true, "CFFFAF"},
    {"TrickledReply", kRequest, "trickle=0.4", "Timeout during operation", 1, 0, true, "CFFFAF"},
    {"CloseMidFrame", kRequest, "close-mid", "Socket closed", 0, 0, true, "CFFFAF"},
    {"WrongMagic", kRequest, "bad-magic", "Socket error", 0, 0, true, "CFFFAF"},
    {"ShortLength", kRequest, "short-length", "Socket error", 0, 0, true, "--F---"},
    {"HugeLength", kRequest, "huge-length", "Socket error", 0, 0, true, "---F-F"},
    {"InvalidBody", kRequest, "invalid-body", "Socket error", 0, 0, true, "-F---F"},
    {"EndlessChallenges", kRequest, "challenge=20", "Process authentication failed", 0, 0, true, "CFFFAF"},
    {"AgentKilled", kKilled, "exit", "Socket closed", 0, 0, false, "AFFNNF"},
};

Row Cell(const Failure &f, const Action &a, char outcome) {
  const End &end = outcome == 'A'   ? a.answered
                   : outcome == 'F' ? a.failed
                   : outcome == 'C' ? kFallback
                                    : kNoSession;
  const bool session = f.scope == kRequest || f.scope == kKilled;
  const bool failed = end.status != 0 && end.status != 156 && end.status != 157;
  Row r{.name = S(f.name, "During", a.name),
        .args = a.args,
        .impostor = f.scope == kImpostor,
        .users = a.users,
        .status = end.status,
        .out = end.out,
        .err = end.err};
  r.conf = S("vxagent.local.account.manage: ", a.manage ? "true" : "false",
             "\nlrpc.timeout: 1\nlrpc.connect.timeout: 1\nlog.vxaccounts: trace\nlog.kest: debug\n");
  if (f.scope == kHandshake) r.faults = {S("handshake:", f.kind)};
  if (session) r.faults = {S(std::to_string(f.scope == kRequest ? a.request : a.victim), ":", f.kind)};
  if (session)
    r.requests.assign(a.requests.begin(),
                      a.requests.begin() + (f.scope == kKilled ? a.before_kill : a.requests.size()));
  if (a.request != 114 || end.status == 13)
    r.audit = {f.support ? "agent" : "syslog", f.support || f.scope == kKilled ? kUpn : "root",
               failed ? end.err.substr(0, end.err.size() - 1) : "", failed ? 2001 : 2000};
  r.max_seconds = f.waits * kTimeoutSeconds + f.fixed_waits * kFixedConnectSeconds + kSlackSeconds;
  r.min_seconds = f.waits * kTimeoutSeconds - 0.05;
  for (int type : r.requests) r.records.push_back({.level = kTrace, .text = "Request: " + kDumps.at(type)});
  const std::string reason = f.reason;
  if (!session) r.records.push_back({.level = kDebug, .text = kNoLogSession + reason});
  if (f.scope == kHandshake)
    r.records.push_back({.level = kDebug, .text = S(kOpen, reason, " ("), .prefix = true});
  if (f.scope == kImpostor) {
    r.records.push_back({.level = kDebug, .text = S(kOpen, reason, " (Operation not permitted)")});
    r.records.push_back({.level = kDebug, .text = S(kRefused, "2': uid 65534, pid "), .prefix = true});
    // The support library's sessions (principal name, audit event) name it too.
    r.syslog = {{15, S(kRefused, "': uid 65534, pid ")}, {15, S(kRefused, "2': uid 65534, pid ")}};
  }
  if (session && outcome == 'N')
    r.records.push_back({.level = kDebug, .text = kOpen, .prefix = true});  // agent gone before the session
  if (session && a.request == 107)
    r.records.push_back({.level = kWarning, .text = "Failed to send log message: " + reason});
  else if (session && (outcome == 'F' || outcome == 'C'))
    r.records.push_back(
        {.level = kWarning,
         .text = S("Failed to send message: ", reason, ", MsgType: ", std::to_string(a.request), ".")});
  return r;
}

std::vector<Row> MatrixCells() {
  std::vector<Row> rows;
  for (const Failure &f : kFailures)
    for (size_t c = 0; c < std::size(kActions); ++c)
      if (f.outcome[c] != '-') rows.push_back(Cell(f, kActions[c], f.outcome[c]));
  return rows;
}

// log2.log lines: msgno, time, process, pid, level, file, line, function and
// the text with backslash, tab and newline escaped; shorter lines end a log.
// Every line must be readable and come from `pid`.
std::vector<Rec> AgentLog(const std::string &log2, pid_t pid) {
  std::vector<Rec> records;
  for (const auto &line : Split(log2, '\n')) {
    auto cells = Split(line, '\t');
    EXPECT_NE(cells.size() > 1 ? cells[1] : "", "MALFORMED")
        << "the agent could not read a log message: " << line;
    if (cells.size() < 9) continue;
    EXPECT_EQ(cells[2] + "[" + cells[3] + "]", S("vxaccounts[", std::to_string(pid), "]")) << line;
    records.push_back({atoi(cells[4].c_str()), Unescape(cells[8]), cells[5], cells[7]});
  }
  return records;
}

// The records of `pid` in the emergency log; a line of another shape has level 6.
std::vector<Rec> EmergencyLog(const std::string &content, pid_t pid) {
  std::vector<Rec> records;
  for (const std::string &r : vxtest::EmergencyRecords(content, S("vxaccounts[", std::to_string(pid), "]"))) {
    int level = 0;
    while (level < 6 && r.rfind(S(kLevels[level], ": "), 0) != 0) ++level;
    records.push_back({level, r.substr(r.find(": ") + 2)});
  }
  return records;
}

bool Matches(const Rec &want, const Rec &got) {
  if (got.level != want.level ||
      (!want.file.empty() && (got.file != want.file || got.function != want.function)))
    return false;
  return want.prefix ? got.text.rfind(want.text, 0) == 0 : got.text == want.text;
}

// The audit event at the agent, or its fall-back line in syslog at
// authpriv.notice (85).
void CheckAudit(const Row &row, const RunResult &run, const std::string &audit_log) {
  const Audit &a = row.audit;
  const std::string event = std::to_string(a.event), pid = std::to_string(run.pid);
  const std::string args = row.args.empty() ? "(none)" : Join(row.args);
  std::vector<std::string> fallback, want_agent, want_syslog;
  for (const auto &rec : run.syslog)
    if (rec.text.find("audit event") != std::string::npos)
      fallback.push_back(S("<", std::to_string(rec.priority), ">", rec.text));
  if (a.where == "agent")
    want_agent = {S("Quarnel Suite\tLocal Account Management\t", event, "\t", a.user, "\t", pid, "\t", args,
                    a.message.empty() ? "" : "\t" + a.message)};
  if (a.where == "syslog")
    want_syslog = {
        S("<85>audit event not delivered: suite=\"Quarnel Suite\" category=\"Local Account Management\" ",
          "event=", event, " user=\"", a.user, "\" pid=", pid, " args=\"", args, "\"",
          a.message.empty() ? "" : ",\"" + a.message + "\"")};
  EXPECT_EQ(Split(audit_log, '\n'), want_agent) << "audit events at the agent";
  EXPECT_EQ(fallback, want_syslog) << "audit fall-back lines in syslog";
}

// The account requests the agent saw, the connections that carried them,
// and the credentials (SO_PASSCRED) on every frame: each has some, and the
// command's name the user who ran it. An impostor gets no frame at all, and
// nothing the agent refuses reaches it.
void CheckAgentSide(const Row &row, const RunResult &run, const Agent &agent) {
  std::vector<int> seen;
  for (const auto &line : Split(agent.Record("requests.log"), '\n')) {
    int type = atoi(line.c_str());
    if (type >= 111 && type <= 114) seen.push_back(type);
  }
  EXPECT_EQ(seen, row.requests) << "account requests the agent received";
  size_t own = 0;
  std::set<std::string> sessions;
  const std::string frames = agent.Record("frames.log");
  for (const auto &line : Split(frames, '\n')) {
    auto cells = Split(line, '\t');
    ASSERT_EQ(cells.size(), 5u) << line;
    EXPECT_NE(cells[1], "pid=?") << "a frame arrived without credentials: " << line;
    if (cells[1] != "pid=" + std::to_string(run.pid)) continue;
    ++own;
    EXPECT_EQ(cells[2], "uid=" + std::to_string(row.nobody ? kNobody : 0)) << line;
    const int type = atoi(cells[0].c_str());
    if (type >= 111 && type <= 114) sessions.insert(cells[4]);
  }
  EXPECT_TRUE(own > 0 || row.requests.empty()) << "no frame of the command carried its process id";
  EXPECT_EQ(sessions.size(), row.requests.empty() ? 0 : row.sessions)
      << "connections of the account requests";
  EXPECT_TRUE(frames.empty() || !row.impostor) << frames;
  EXPECT_EQ(agent.Record("agent.log").find("dropping a connection"), std::string::npos)
      << agent.Record("agent.log");
}

void CheckLogs(const Row &row, const RunResult &run, const std::string &log2) {
  const std::string emergency = vxtest::ReadFile(kEmergencyLog);
  std::vector<Rec> got = AgentLog(log2, run.pid), in_file = EmergencyLog(emergency, run.pid);
  got.insert(got.end(), in_file.begin(), in_file.end());
  const std::string where = S("\nlog2.log:\n", log2, "\nemergency log:\n", emergency);
  for (const Rec &want : row.records)
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [&](const Rec &r) { return Matches(want, r); }))
        << "missing: " << want.level << " \"" << want.text << "\"" << (want.prefix ? "..." : "") << where;
  for (const Rec &unwanted : row.absent)
    for (const Rec &r : got) EXPECT_FALSE(Matches(unwanted, r)) << r.level << " " << r.text;
  EXPECT_TRUE(emergency.empty() || !row.emergency_empty) << emergency;
  std::string all, ident = S("vxaccounts[", std::to_string(run.pid), "]");
  for (const auto &rec : run.syslog) all += rec.raw + "\n";
  for (const auto &[priority, part] : row.syslog)
    EXPECT_TRUE(std::any_of(run.syslog.begin(), run.syslog.end(),
                            [&](const vxtest::SyslogRecord &r) {
                              return r.ident == ident && r.priority == priority &&
                                     r.text.find(part) != std::string::npos;
                            }))
        << priority << " " << part << " in:\n"
        << all;
}

// Waits (bounded) until the agent has received a request of `type`.
bool AwaitRequest(const Agent &agent, int type) {
  for (auto start = std::chrono::steady_clock::now(); Since(start) < kAwaitSeconds; usleep(10000))
    if (("\n" + agent.Record("requests.log")).find(S("\n", std::to_string(type), "\t")) != std::string::npos)
      return true;
  return false;
}

class VxaccountsRun : public ::testing::TestWithParam<Row> {};

TEST_P(VxaccountsRun, EndsWithItsStatusOutputAndAuditEvent) {
  const Row &row = GetParam();
  ASSERT_EQ(row.error, "");
  if (!EnterSandbox().empty()) GTEST_SKIP() << "skipped: " << EnterSandbox();
  if (vxtest::kSanitized && row.fail_list_block)
    GTEST_SKIP() << "the preloaded calloc cannot stand beside the sanitizer's";
  if (vxtest::kSanitized && !row.wrapper.empty())
    GTEST_SKIP() << "LeakSanitizer cannot stop a process whose effective user is not its real one";
  ResetState(row.conf.empty() ? "vxagent.local.account.manage: true\n" : row.conf, row.conf_mode);
  Agent agent;
  const std::vector<std::pair<std::string, std::string>> data{
      {"upn", S("root ", kUpn, "\n")},
      {"passwd", row.users > 0 ? Users(row.users) : S(kAlice, kBob, kCarol)},
      {"group", kGroups},
      {"remove", "bob\nwheel\n"}};
  ASSERT_EQ(row.agent ? agent.Start(data, row.faults, row.impostor) : "", "");
  Launch launch{.as_nobody = row.nobody, .closed_fd = row.closed_fd, .wrapper = row.wrapper};
  int pipe_fds[2] = {-1, -1};
  ASSERT_TRUE(!row.head || pipe2(pipe_fds, O_CLOEXEC) == 0);
  launch.out_fd = pipe_fds[1];
  std::string link, head;
  launch.meanwhile = [&](pid_t pid) {
    if (row.closed_fd >= 0 && AwaitRequest(agent, row.requests.back()))
      link = std::filesystem::read_symlink(
          S("/proc/", std::to_string(pid), "/fd/", std::to_string(row.closed_fd)));
    if (!row.head) return;
    close(pipe_fds[1]);
    // Bounded: a command that writes nothing is killed by the run's limit after this.
    pollfd readable{pipe_fds[0], POLLIN, 0};
    char ch = 0;
    while (ch != '\n' && poll(&readable, 1, static_cast<int>(kAwaitSeconds * 1000)) == 1 &&
           read(pipe_fds[0], &ch, 1) == 1)
      head += ch;
    close(pipe_fds[0]);
  };
  if (row.fail_list_block) setenv("LD_PRELOAD", VX_E2E_FAIL_LIST_PRELOAD, 1);
  RunResult run = RunVxaccounts(row.args, launch);
  unsetenv("LD_PRELOAD");
  if (row.head) run.out = head;
  // A handshake that is never answered cannot be waited for.
  const bool silent = std::count(row.faults.begin(), row.faults.end(), "handshake:silent") > 0;
  EXPECT_EQ(agent.Stop(!silent), 0) << agent.Record("agent.log");

  ASSERT_FALSE(run.timed_out) << "vxaccounts did not end within " << kRunLimitSeconds << " s";
  EXPECT_EQ(access(kFailMark, F_OK) == 0, row.fail_list_block) << "a release-list block failed";
  EXPECT_EQ(link, row.closed_fd >= 0 ? "/dev/null" : "");
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.err, !row.err_regex.empty() && std::regex_match(run.err, std::regex(row.err_regex))
                         ? run.err
                         : row.err);
  EXPECT_LE(run.seconds, row.max_seconds) << "longer than the time-outs it waits for";
  EXPECT_GE(run.seconds, row.min_seconds) << "the configured time-out was not waited for";
  CheckAudit(row, run, agent.Record("audit.log"));
  if (row.agent) CheckAgentSide(row, run, agent);
  CheckLogs(row, run, agent.Record("log2.log"));
}

INSTANTIATE_TEST_SUITE_P(Table, VxaccountsRun, ::testing::ValuesIn(ReadTable()),
                         [](const auto &param) { return param.param.name; });
INSTANTIATE_TEST_SUITE_P(Matrix, VxaccountsRun, ::testing::ValuesIn(MatrixCells()),
                         [](const auto &param) { return param.param.name; });

}  // namespace
}  // namespace vxe2e
