// The real vxaccounts against vxagent-sim: one row per way a run can end,
// with the command line, caller, agent state and faults, configuration, and
// everything the run must leave: exit status, stdout, stderr, the audit event
// (at the agent or its syslog fall-back), the requests the agent saw, the
// credentials on every frame and the client-log records.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "support/sanitizer.h"

namespace vxe2e {
namespace {

// Made by the preloaded calloc (fail_release_list_block.c) when it fails.
const char kFailMark[] = "/var/log/calloc-failed";

// The usage text byte for byte, the same file the option unit tests compare with.
const std::string kUsage = vxtest::ReadFile(VX_E2E_USAGE);
const char kEnabled[] = "vxagent.local.account.manage: true\n";
const char kDisabled[] = "vxagent.local.account.manage: false\n";
const char kEnabledMsg[] = "Manage Local Account Feature is enabled\n";
const char kDisabledMsg[] = "Manage Local Account Feature is disabled\n";
const char kNotRoot[] = "Error: vxaccounts may only be run by root.";
const char kMultiAction[] = "Error: multiple action are not allowed.";
const char kForceNeedsReload[] =
    "Error: options --force/--profileonly should be used in conjunction with --reload.";
const char kNotRunning[] = "vxagent is not running/not available";
const char kReloadFailed[] = "Failed to reload local account";
const char kListFailed[] = "Failed to list local account";
const char kReloadDisabled[] =
    "The local account management is disabled, can't reload local account. Please enable it first";
const char kListDisabled[] =
    "The local account management is disabled, can't list local account. Please enable it first.";
const char kNoLogConnect[] = "Failed to open logging connection to vxagent through '/var/vorlex/daemon2': ";
const char kNoConnect[] =
    "Failed to open connection to vxagent through '/var/vorlex/daemon2' Socket error "
    "(No such file or directory)";
const char kMsgFile[] = "../lib/client_common/client_msg";
const char kCli[] = "cli_managelocal";

// The agent's data: users and groups, bob and wheel marked for removal.
const char kAlice[] = "alice:x:1001:1001:Alice Archer:/home/alice:/bin/bash\n";
const char kBob[] = "bob:x:1002:1002:Bob 100% Builder:/home/bob:/bin/sh\n";
const char kCarol[] = "carol:x:1003:1003::/home/carol:/bin/false\n";
const char kStaff[] = "staff:x:2001:alice,bob\n";
const char kAdmins[] = "admins:x:2002:carol\n";
const char kWheel[] = "wheel:x:2003:\n";

// The dump prints every entry, the removed ones with a "\tremove" mark.
std::string Marked(const std::string &entry) { return entry.substr(0, entry.size() - 1) + "\tremove\n"; }

enum Where { kAuto, kAgent, kSyslog };  // kAuto: at the agent when it runs
struct Audit {
  int event = 0;  // 0: no audit event anywhere
  std::string message{};
  const char *user = nullptr;  // default: nobody / the UPN when the agent runs / root
  Where where = kAuto;
};
Audit Ok() { return {2000}; }
Audit Fail(const char *msg, Where at = kAuto, const char *user = nullptr) { return {2001, msg, user, at}; }

Rec ReadFailure(const char *function, const char *why = "At end of message", bool prefix = false) {
  return {kWarning, S("Failure while reading message: ", why), prefix, kCli, function};
}
const Rec kRequestDump{kTrace, "Request: ", true, kMsgFile, "Send"},
    kReplyDump{kTrace, "Reply: ", true, kMsgFile, "Send"};

struct Row {
  const char *name;
  std::vector<std::string> args{};
  bool nobody = false, agent = true;
  std::vector<std::string> faults{};
  std::string conf = kEnabled;
  unsigned conf_mode = 0644;
  int status = 0;
  std::string out{}, err{};         // err without its final newline
  const char *err_regex = nullptr;  // instead of `err`, for getopt_long's own texts
  Audit audit{};
  std::vector<int> requests{};  // account requests (111..114) the agent saw, in order
  size_t sessions = 1;  // connections that carried them (a session that failed in transport is replaced)
  std::vector<Rec> log2{}, log2_absent{}, emergency{};  // in order / must not be at the agent / in order
  bool emergency_empty = false;
  std::vector<std::pair<int, std::string>> syslog{};  // priority and part of the text
  double max_seconds = 5, min_seconds = 0;
  bool fail_list_block = false;  // the first release-list block cannot be allocated
  bool euid_nobody = false;      // run by `setpriv --euid=65534`: the loader in secure-execution mode
};

// clang-format off
Row Usage(const char *name, std::vector<std::string> args, const char *err_regex = nullptr) {
  return {.name = name, .args = args, .status = 7, .out = kUsage, .err_regex = err_regex};
}
Row Conflict(const char *name, std::vector<std::string> args, const char *err) {
  return {.name = name, .args = args, .status = 7, .err = err};
}

const std::vector<int> kStatusReq{111}, kReloadReq{111, 112}, kListReq{111, 113}, kDumpReq{114};
const std::vector<std::string> kListAll{"-l", "all", "-u"};

const Row kRows[] = {
    // before the client context: root check, usage, option conflicts, version
    {.name = "NotRootNoArguments", .nobody = true, .status = 9, .err = kNotRoot,
     .audit = Fail("Root privilege is required for the operation")},
    {.name = "NotRootAgentDown", .args = kListAll, .nobody = true, .agent = false, .status = 9,
     .err = kNotRoot, .audit = Fail("Root privilege is required for the operation")},
    Usage("NoArguments", {}),
    Usage("Help", {"-h"}),
    Usage("UnknownOption", {"-x"}, "[^\n]*vxaccounts: [^\n]*x[^\n]*\n"),
    Usage("MissingListArgument", {"-l"}, "[^\n]*vxaccounts: [^\n]*\n"),
    Usage("ListArgumentIsAnOption", {"-l", "-u"}),
    Usage("ListArgumentWrongCase", {"-l", "ALL", "-u"}),
    Usage("ForceAloneHasNoAction", {"-f"}),
    Usage("InvalidDumpNameIgnored", {"-d", "users"}),
    Conflict("TwoActions", {"-s", "-R"}, kMultiAction),
    Conflict("ConflictBeforeVersion", {"-s", "-s", "-v"}, kMultiAction),
    Conflict("TwoCategories", {"-l", "all", "-u", "-g"}, "Error: multiple categories are not allowed."),
    Conflict("ListWithoutCategory", {"-l", "all"},
             "Error: options --list should be used in conjunction with --user/--group."),
    Conflict("StatusWithUser", {"-s", "-u"}, "Error: options --status and --user cannot be used together."),
    Conflict("ReloadWithGroup", {"-R", "-g"}, "Error: options --reload and --group cannot be used together."),
    Conflict("ListWithForce", {"-l", "visible", "-g", "-f"}, kForceNeedsReload),
    Conflict("StatusWithProfileOnly", {"-s", "-p"}, kForceNeedsReload),
    {.name = "VersionBeforeConflict", .args = {"-v", "-s", "-s"}, .out = "Vorlex 5.3.1-398\n"},

    // status
    {.name = "StatusAgentDownDisabled", .args = {"-s"}, .agent = false, .conf = kDisabled, .status = 157,
     .out = kDisabledMsg, .audit = Ok()},
    {.name = "StatusAgentDownEnabled", .args = {"--status"}, .agent = false, .status = 156,
     .out = kEnabledMsg, .audit = Ok(), .emergency_empty = true},
    {.name = "StatusLoadsInSecureExecution", .args = {"-s"}, .conf = kDisabled, .status = 156,
     .out = kEnabledMsg, .audit = Ok(), .requests = kStatusReq, .euid_nobody = true},
    {.name = "StatusAgentWinsOverConfig", .args = {"-s"}, .conf = kDisabled, .status = 156,
     .out = kEnabledMsg, .audit = Ok(), .requests = kStatusReq},
    {.name = "StatusAgentDisabledOperandIgnored", .args = {"-s", "extra"}, .faults = {"111:disabled"},
     .status = 157, .out = kDisabledMsg, .audit = Ok(), .requests = kStatusReq},
    {.name = "StatusReplyWithoutFieldsUsesConfig", .args = {"-s"}, .faults = {"111:no-fields"}, .status = 156,
     .out = kEnabledMsg, .audit = Ok(), .requests = kStatusReq,
     .log2 = {ReadFailure("SendGetLocalAcctMgmtStatus")}},

    // reload
    {.name = "ReloadAgentDown", .args = {"-R"}, .agent = false, .status = 13, .err = kNotRunning,
     .audit = Fail(kNotRunning), .emergency_empty = true},
    {.name = "ReloadForceProfileOnly", .args = {"-R", "-f", "-p"}, .audit = Ok(), .requests = kReloadReq},
    {.name = "ReloadWhileDisabled", .args = {"--reload"}, .faults = {"111:disabled"}, .status = 255,
     .err = kReloadDisabled, .audit = Fail(kReloadDisabled), .requests = kStatusReq},
    {.name = "ReloadResultNonZero", .args = {"-R"}, .faults = {"112:status=5"}, .status = 158,
     .err = kReloadFailed, .audit = Fail(kReloadFailed), .requests = kReloadReq},
    {.name = "ReloadReplyWithoutFields", .args = {"-R"}, .faults = {"112:no-fields"}, .status = 158,
     .err = kReloadFailed, .audit = Fail(kReloadFailed), .requests = kReloadReq,
     .log2 = {ReadFailure("SendReloadLocalAccounts")}},

    // list
    {.name = "ListVisibleUsers", .args = {"--list", "visible", "--user"}, .out = S(kAlice, kCarol),
     .audit = Ok(), .requests = kListReq},
    {.name = "ListAllGroups", .args = {"--list", "all", "--group"}, .out = S(kStaff, kAdmins, kWheel),
     .audit = Ok(), .requests = kListReq},
    {.name = "ListRemoveGroupsJoinedArgument", .args = {"--list=remove", "--group"}, .out = kWheel,
     .audit = Ok(), .requests = kListReq},
    {.name = "ListAfterTwoChallenges", .args = {"-l", "visible", "-u"}, .faults = {"113:challenge=2"},
     .out = S(kAlice, kCarol), .audit = Ok(), .requests = kListReq},
    {.name = "ListWhileDisabled", .args = kListAll, .faults = {"111:disabled"}, .status = 255,
     .err = kListDisabled, .audit = Fail(kListDisabled), .requests = kStatusReq},
    {.name = "ListStatusNonZero", .args = kListAll, .faults = {"113:status=2"}, .status = 159,
     .err = kListFailed, .audit = Fail(kListFailed), .requests = kListReq,
     .log2_absent = {{kWarning, "", true, kCli, "SendListLocalAccount"}}},
    {.name = "ListReplyWrongKinds", .args = kListAll, .faults = {"113:wrong-kinds"}, .status = 159,
     .err = kListFailed, .audit = Fail(kListFailed), .requests = kListReq,
     .log2 = {ReadFailure("SendListLocalAccount", "", true)}},
    {.name = "ListReplyStatusWithoutSet", .args = kListAll, .faults = {"113:no-fields"}, .status = 159,
     .err = kListFailed, .audit = Fail(kListFailed), .requests = kListReq,
     .log2 = {ReadFailure("SendListLocalAccount")}},

    // dump: no cross-check of the other options, no audit event
    {.name = "DumpLaterNameWins", .args = {"-d", "user", "--dump=group"},
     .out = S(kStaff, kAdmins, Marked(kWheel)), .requests = kDumpReq},
    {.name = "DumpStatusNonZero", .args = {"-d", "user"}, .faults = {"114:status=3"}, .status = 255,
     .requests = kDumpReq},
    {.name = "DumpIgnoresStatusAndCategory", .args = {"-d", "user", "-s", "-u"},
     .out = S(kAlice, Marked(kBob), kCarol), .requests = kDumpReq},
    {.name = "DumpWithStatusAgentDown", .args = {"-d", "user", "-s", "-u"}, .agent = false, .status = 156,
     .out = kEnabledMsg, .audit = Ok()},
    {.name = "DumpAgentDown", .args = {"-d", "group"}, .agent = false, .status = 13, .err = kNotRunning,
     .audit = Fail(kNotRunning)},

    // client log: forwarded to the agent, to the emergency file, to syslog
    {.name = "TraceRecordsReachAgent", .args = {"-l", "visible", "-u"},
     .conf = S(kEnabled, "log.vxaccounts: trace\n"), .out = S(kAlice, kCarol), .audit = Ok(),
     .requests = kListReq, .log2 = {kRequestDump, kReplyDump, kRequestDump, kReplyDump}},
    {.name = "OwnLevelKeyWinsOverShorterKey", .args = {"-R"},
     .conf = S(kEnabled, "log: trace\nlog.vxaccounts: warning\n"), .audit = Ok(), .requests = kReloadReq,
     .log2_absent = {{kTrace, "", true, kMsgFile, "Send"}}},
    {.name = "DebugRecordsToEmergencyFile", .args = {"-R"}, .agent = false,
     .conf = S(kEnabled, "log.vxaccounts: debug\nvxaccounts: file /var/log/quarnel_client.log\n"),
     .status = 13, .err = kNotRunning, .audit = Fail(kNotRunning),
     .emergency = {{kDebug, S(kNoLogConnect, "Socket error")}, {kDebug, kNoConnect}}},
    {.name = "DebugRecordsToSyslogFacility", .args = {"-R"}, .agent = false,
     .conf = S(kEnabled, "log.vxaccounts: debug\nvxaccounts: local3\n"), .status = 13, .err = kNotRunning,
     .audit = Fail(kNotRunning), .emergency_empty = true,
     .syslog = {{19 << 3 | 7, S("DEBUG: ", kNoConnect)}}},
    {.name = "LoggerRecordsStayOffStdout", .args = {"-V", "-l", "all", "-g"},
     .conf = S(kEnabled, "log: debug\n"), .out = S(kStaff, kAdmins, kWheel), .audit = Ok(),
     .requests = kListReq, .syslog = {{15, "PrintList: staff:x:2001:alice,bob"}}},

    // configuration that changes where things go; an agent that never answers
    {.name = "WorldWritableConfigurationIgnored", .args = {"-s"}, .agent = false, .conf_mode = 0666,
     .status = 157, .out = kDisabledMsg, .audit = Ok()},
    {.name = "ConfiguredSocketElsewhere", .args = {"-R"},
     .conf = S(kEnabled, "vxagent.clients.socket2: /var/vorlex/elsewhere\n"), .status = 13,
     .err = kNotRunning, .audit = Fail(kNotRunning, kSyslog, kUpn)},
    {.name = "AgentNeverAnswers", .args = kListAll, .faults = {"any:silent"},
     .conf = S(kEnabled, "lrpc.timeout: 2\n"), .status = 159, .err = kListFailed,
     .audit = Fail(kListFailed, kAgent, "root"), .requests = kListReq, .sessions = 2,
     .emergency = {{kWarning, "Failed to send message: Timeout during operation, MsgType: 113."}},
     .max_seconds = 10, .min_seconds = 4},

    // a status request that failed in transport: its session is never used again
    {.name = "LateStatusReplyReloadOnNewSession", .args = {"-R"}, .faults = {"111:delay=2.5"},
     .conf = S(kEnabled, "lrpc.timeout: 2\n"), .audit = Ok(), .requests = kReloadReq, .sessions = 2,
     .log2 = {{kWarning, "Failed to send message: Timeout during operation, MsgType: 111."}},
     .min_seconds = 2},
    {.name = "StatusFailedAndAgentGoneBeforeReload", .args = {"-R"}, .faults = {"111:close", "111:exit"},
     .status = 13, .err = kNotRunning, .audit = Fail(kNotRunning, kSyslog, kUpn), .requests = kStatusReq},

    // a release-list block that cannot be allocated: the agent's answer still decides
    {.name = "StatusWithoutReleaseListBlock", .args = {"-s"}, .faults = {"111:disabled"}, .status = 157,
     .out = kDisabledMsg, .audit = Ok(), .requests = kStatusReq, .fail_list_block = true},
    {.name = "ReloadWithoutReleaseListBlock", .args = {"-R"}, .faults = {"111:disabled"}, .status = 255,
     .err = kReloadDisabled, .audit = Fail(kReloadDisabled), .requests = kStatusReq, .fail_list_block = true},
    {.name = "ListWithoutReleaseListBlock", .args = kListAll, .faults = {"111:disabled"}, .status = 255,
     .err = kListDisabled, .audit = Fail(kListDisabled), .requests = kStatusReq, .fail_list_block = true},
};
// clang-format on

std::string ArgumentText(const std::vector<std::string> &args) {
  return args.empty() ? "(none)" : Join(args);
}

void PrintTo(const Row &row, std::ostream *os) { *os << row.name << " [" << ArgumentText(row.args) << "]"; }

// The audit event at the agent, or its fall-back line in syslog at
// authpriv.notice (85), built from the row.
void CheckAudit(const Row &row, const RunResult &run, const std::string &audit_log) {
  std::vector<std::string> fallback, want_agent, want_syslog;
  for (const auto &rec : run.syslog)
    if (rec.text.find("audit event") != std::string::npos)
      fallback.push_back(S("<", std::to_string(rec.priority), ">", rec.text));
  const Audit &a = row.audit;
  std::string user = a.user ? a.user : row.nobody ? "nobody" : row.agent ? kUpn : "root";
  std::string event = std::to_string(a.event), pid = std::to_string(run.pid), args = ArgumentText(row.args);
  std::string failure = a.event == 2001 ? "\t" + a.message : "";
  if (a.event != 0 && (a.where == kAgent || (a.where == kAuto && row.agent)))
    want_agent = {
        S("Quarnel Suite\tLocal Account Management\t", event, "\t", user, "\t", pid, "\t", args, failure)};
  else if (a.event != 0)
    want_syslog = {
        S("<85>audit event not delivered: suite=\"Quarnel Suite\" category=\"Local Account Management\" ",
          "event=", event, " user=\"", user, "\" pid=", pid, " args=\"", args, "\"",
          failure.empty() ? "" : ",\"" + a.message + "\"")};
  EXPECT_EQ(Split(audit_log, '\n'), want_agent) << "audit events at the agent";
  EXPECT_EQ(fallback, want_syslog) << "audit fall-back lines in syslog";
}

void CheckInOrder(const std::vector<Rec> &wanted, const std::vector<LogRecord> &got,
                  const std::string &where) {
  size_t next = 0;
  for (const Rec &want : wanted) {
    while (next < got.size() && !Matches(want, got[next])) ++next;
    EXPECT_LT(next++, got.size()) << "missing (in order) in " << where << ": level " << want.level << " \""
                                  << want.text << "\"";
  }
}

void CheckLogs(const Row &row, const RunResult &run, const std::string &log2) {
  std::vector<LogRecord> at_agent = AgentLog(log2, run.pid);
  CheckInOrder(row.log2, at_agent, "log2.log:\n" + log2);
  for (const Rec &unwanted : row.log2_absent)
    for (const LogRecord &got : at_agent)
      EXPECT_FALSE(Matches(unwanted, got)) << "at the agent: " << got.text;
  std::string content = vxtest::ReadFile(kEmergencyLog);
  EXPECT_TRUE(content.empty() || !row.emergency_empty) << content;
  CheckInOrder(row.emergency, EmergencyLog(content, run.pid), "the emergency log:\n" + content);
  std::string all, ident = S("vxaccounts[", std::to_string(run.pid), "]");
  for (const auto &rec : run.syslog) all += rec.raw + "\n";
  for (const auto &[priority, part] : row.syslog)
    EXPECT_TRUE(std::any_of(run.syslog.begin(), run.syslog.end(),
                            [&](const SyslogRecord &r) {
                              return r.ident == ident && r.priority == priority &&
                                     r.text.find(part) != std::string::npos;
                            }))
        << priority << " " << part << " in:\n"
        << all;
}

// The account requests the agent saw, and the credentials (SO_PASSCRED) on
// every frame: each has some, and the command's name the user who ran it.
void CheckAgentSide(const Row &row, const RunResult &run, const Agent &agent) {
  std::vector<int> seen;
  for (const auto &line : Split(agent.Record("requests.log"), '\n')) {
    int type = atoi(line.c_str());
    if (type >= 111 && type <= 114) seen.push_back(type);
  }
  EXPECT_EQ(seen, row.requests) << "account requests the agent received";
  size_t own = 0;
  std::set<std::string> sessions;
  for (const auto &line : Split(agent.Record("frames.log"), '\n')) {
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
}

class VxaccountsRun : public SandboxTest<Row> {};

TEST_P(VxaccountsRun, EndsWithItsStatusOutputAndAuditEvent) {
  const Row &row = GetParam();
  if (vxtest::kSanitized && row.fail_list_block)
    GTEST_SKIP() << "the preloaded calloc cannot stand beside the sanitizer's";
  if (vxtest::kSanitized && row.euid_nobody)
    GTEST_SKIP() << "LeakSanitizer cannot stop a process whose effective user is not its real one";
  ResetState(row.conf, row.conf_mode);
  Agent agent;
  const std::vector<std::pair<std::string, std::string>> data{{"upn", S("root ", kUpn, "\n")},
                                                              {"passwd", S(kAlice, kBob, kCarol)},
                                                              {"group", S(kStaff, kAdmins, kWheel)},
                                                              {"remove", "bob\nwheel\n"}};
  ASSERT_EQ(row.agent ? agent.Start(data, row.faults) : "", "");
  if (row.fail_list_block) setenv("LD_PRELOAD", VX_E2E_FAIL_LIST_PRELOAD, 1);
  Launch launch;
  if (row.euid_nobody) launch.wrapper = {"setpriv", S("--euid=", std::to_string(kNobody))};
  RunResult run = RunVxaccounts(row.args, row.nobody, launch);
  unsetenv("LD_PRELOAD");
  EXPECT_EQ(agent.Stop(), 0) << agent.Record("agent.log");

  ASSERT_FALSE(run.timed_out) << "vxaccounts did not end within " << kRunLimitSeconds << " s";
  EXPECT_EQ(access(kFailMark, F_OK) == 0, row.fail_list_block) << "a release-list block failed";
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(run.out, row.out);
  // getopt_long's own diagnostics are matched by `err_regex`, all else exactly.
  std::string err = row.err.empty() ? "" : row.err + "\n";
  EXPECT_EQ(run.err, row.err_regex && std::regex_match(run.err, std::regex(row.err_regex)) ? run.err : err);
  EXPECT_LE(run.seconds, row.max_seconds) << "the run must end within a few configured time-outs";
  EXPECT_GE(run.seconds, row.min_seconds);
  CheckAudit(row, run, agent.Record("audit.log"));
  if (row.agent) CheckAgentSide(row, run, agent);
  CheckLogs(row, run, agent.Record("log2.log"));
}

INSTANTIATE_TEST_SUITE_P(Table, VxaccountsRun, ::testing::ValuesIn(kRows),
                         [](const auto &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace vxe2e
