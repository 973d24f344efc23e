// Whole-program tests: the real vxaccounts against the reference agent
// vxagent-sim, inside a private mount namespace (see sandbox.h). One table
// holds every way a run can end; each row states the command line, who runs
// it, the agent's state and misbehaviour, the configuration, and everything
// the run must leave behind: exit status, standard output and error, the
// audit event, the requests the agent saw and the client-log records.
#include <gtest/gtest.h>

#include <regex>
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

constexpr double kRunLimitSeconds = 60;      // a run killed after this fails the row
constexpr double kDefaultMaxSeconds = 5;     // rows without a time-out finish well within
constexpr double kSyncSeconds = 3;
constexpr int kAuditPriority = 10 << 3 | 5;  // authpriv.notice

const char kUpn[] = "admin@VORLEX.TEST";
const char kVersion[] = "Vorlex 5.3.1-398\n";
const char kEnabled[] = "vxagent.local.account.manage: true\n";
const char kDisabled[] = "vxagent.local.account.manage: false\n";

const char kUsage[] =
    "List currently managed local accounts, get status of local account management,\n"
    "and force reload of local accounts from Active Directory\n"
    "usage: vxaccounts  [--status, -s]\n"
    "                      [--reload, -R [--force, -f] [--profileonly, -p]]\n"
    "                      [--list, -l <all, visible, remove> <--user, -u>|<--group, -g>]\n"
    "options:\n"
    "   -s, --status       Check if management of local account is currently enabled or disable in UNIX agent.\n"
    "                      If Unix agent is not running, get the value from vorlex.conf,\n"
    "                      at the same time 156 and 157 code is returned for Enable and Display status correspondingly\n"
    "   -R, --reload       Sync local user, local group file and APU list with information in Active Directory.\n"
    "                      This should fail with error if UNIX agent is disconnected or not running,\n"
    "                      or local account management is disabled.\n"
    "   -f, --force        Use with --reload option.\n"
    "                      Force reload of managed local user, local groups from Active Directory,\n"
    "                      regardless if AD contain newer information or not, and update local passwd/group\n"
    "                      This will fail with error if UNIX agent is disconnected or not running,\n"
    "                      or local account management is disabled.\n"
    "   -p, --profileonly  Use with --reload option.\n"
    "                      Reload the local user profile, local group profile only.\n"
    "   -l, --list <all, visible, remove>\n"
    "                      Use in conjunction with --user or --group option to list local users or local groups.\n"
    "                      Each of the entries display is in the file native format.\n"
    "                      User can specify what type of local account to list, and acceptable values\n"
    "                      are:\n"
    "                          visible: local profile accounts that are visible in the computer\n"
    "                          remove: local accounts that are marked for removal in the computer\n"
    "                          all: complete list of local accounts currently cached in UNIX agent\n"
    "                      This should fail with error if UNIX agent is not running, or local account management is disabled\n"
    "   -u, --user         Use with --list, when specify, return local user information\n"
    "   -g, --group        Use with --list, when specify, return local group information\n"
    "   -V, --verbose      Display verbose step by step information to help debug problem.\n"
    "                      It also log debug log messages to system log.\n"
    "   -v, --version      Display version information for the installed software\n"
    "   -h, --help         Print this help information and exit\n"
    "\n";

// The agent's data: users and groups, some marked for removal.
const char kAlice[] = "alice:x:1001:1001:Alice Archer:/home/alice:/bin/bash\n";
const char kBob[] = "bob:x:1002:1002:Bob 100% Builder:/home/bob:/bin/sh\n";
const char kCarol[] = "carol:x:1003:1003::/home/carol:/bin/false\n";
const char kStaff[] = "staff:x:2001:alice,bob\n";
const char kAdmins[] = "admins:x:2002:carol\n";
const char kWheel[] = "wheel:x:2003:\n";
const char kRemoved[] = "bob\nwheel\n";

std::string S(std::initializer_list<const char *> parts) {
  std::string out;
  for (const char *p : parts) out += p;
  return out;
}

// What the dump prints: every entry, the removed ones with a "\tremove" mark.
std::string Marked(const char *entry) {
  std::string e = entry;
  return e.substr(0, e.size() - 1) + "\tremove\n";
}

enum class Data { kAccounts, kEmpty };
enum class Where { kAuto, kAgent, kSyslog };

struct Audit {
  int event = 0;            // 0: the run must leave no audit event anywhere
  std::string message{};    // failure message (event 2001)
  const char *user = nullptr;  // default: nobody / the UPN when the agent answers / root
  Where where = Where::kAuto;  // default: at the agent when it runs, else syslog
};
Audit Success(Where where = Where::kAuto, const char *user = nullptr) { return {2000, "", user, where}; }
Audit Failure(std::string msg, Where where = Where::kAuto, const char *user = nullptr) {
  return {2001, std::move(msg), user, where};
}

// A record forwarded to the agent's log2.log (text compared whole, or as a
// prefix when `prefix`).
struct LogRec {
  int level = 0;
  std::string file{}, function{}, text{};
  bool prefix = false;
};
// A line of the emergency file: level name and text.
struct FileRec {
  std::string level{}, text{};
  bool prefix = false;
};
// A syslog datagram of the command: priority (or -1 for any) and text part.
struct SysRec {
  int priority;
  std::string text_contains;
};

const char kMsgFile[] = "../lib/client_common/client_msg";
const char kCli[] = "cli_managelocal";

struct Row {
  const char *name;
  std::vector<std::string> args{};
  bool nobody = false;
  bool agent = true;
  std::vector<std::string> faults{};
  std::string conf = kEnabled;
  unsigned conf_mode = 0644;
  Data data = Data::kAccounts;
  int status = 0;
  std::string out{};
  std::string err{};
  const char *err_regex = nullptr;  // instead of `err`, for getopt_long's own texts
  Audit audit{};
  std::vector<int> requests{};        // account requests (111..114) the agent saw, in order
  std::vector<LogRec> log2{};         // records that must reach the agent, in order
  std::vector<LogRec> log2_absent{};  // records that must not
  std::vector<FileRec> emergency{};   // lines of the emergency file, in order
  bool emergency_empty = false;
  std::vector<SysRec> syslog{};
  double max_seconds = kDefaultMaxSeconds;
  double min_seconds = 0;
};

const std::vector<int> kNone{}, kStatusReq{111}, kReloadReq{111, 112}, kListReq{111, 113}, kDumpReq{114};

const char kNotRunning[] = "vxagent is not running/not available";
const char kReloadDisabled[] =
    "The local account management is disabled, can't reload local account. Please enable it first";
const char kListDisabled[] =
    "The local account management is disabled, can't list local account. Please enable it first.";
const char kNotRoot[] = "Error: vxaccounts may only be run by root.\n";
const char kRootMsg[] = "Root privilege is required for the operation";
const char kMultiAction[] = "Error: multiple action are not allowed.\n";
const char kMultiCat[] = "Error: multiple categories are not allowed.\n";
const char kListNeedsCat[] = "Error: options --list should be used in conjunction with --user/--group.\n";
const char kForceNeedsReload[] =
    "Error: options --force/--profileonly should be used in conjunction with --reload.\n";
const char kEnabledMsg[] = "Manage Local Account Feature is enabled\n";
const char kDisabledMsg[] = "Manage Local Account Feature is disabled\n";
const char kNoConnect[] =
    "Failed to open connection to vxagent through '/var/vorlex/daemon2' Socket error (No such file or directory)";
const char kNoLogConnect[] = "Failed to open logging connection to vxagent through '/var/vorlex/daemon2': Socket error";

const Row kRows[] = {
    // --- before the client context: root check, usage, option conflicts, version
    {.name = "NotRootNoArguments", .args = {}, .nobody = true, .status = 9, .err = kNotRoot,
     .audit = Failure(kRootMsg)},
    {.name = "NotRootWithActionAgentDown", .args = {"-l", "all", "-u"}, .nobody = true, .agent = false,
     .status = 9, .err = kNotRoot, .audit = Failure(kRootMsg)},
    {.name = "NoArgumentsPrintsUsage", .args = {}, .status = 7, .out = kUsage},
    {.name = "HelpPrintsUsage", .args = {"-h"}, .status = 7, .out = kUsage},
    {.name = "LongHelpAfterActionPrintsUsage", .args = {"-s", "--help"}, .status = 7, .out = kUsage},
    {.name = "UnknownShortOption", .args = {"-x"}, .status = 7, .out = kUsage,
     .err_regex = "[^\n]*vxaccounts: [^\n]*x[^\n]*\n"},
    {.name = "UnknownLongOption", .args = {"--bogus"}, .status = 7, .out = kUsage,
     .err_regex = "[^\n]*vxaccounts: [^\n]*bogus[^\n]*\n"},
    {.name = "MissingListArgument", .args = {"-l"}, .status = 7, .out = kUsage,
     .err_regex = "[^\n]*vxaccounts: [^\n]*\n"},
    {.name = "ListArgumentIsAnOption", .args = {"-l", "-u"}, .status = 7, .out = kUsage},
    {.name = "ListArgumentWrongCase", .args = {"-l", "ALL", "-u"}, .status = 7, .out = kUsage},
    {.name = "ForceAloneHasNoAction", .args = {"-f"}, .status = 7, .out = kUsage},
    {.name = "CategoryAloneHasNoAction", .args = {"-u"}, .status = 7, .out = kUsage},
    {.name = "InvalidDumpNameIgnored", .args = {"-d", "users"}, .status = 7, .out = kUsage},
    {.name = "TwoActions", .args = {"-s", "-R"}, .status = 7, .err = kMultiAction},
    {.name = "ReloadThenList", .args = {"-R", "--list", "all"}, .status = 7, .err = kMultiAction},
    {.name = "TwoCategories", .args = {"-l", "all", "-u", "-g"}, .status = 7, .err = kMultiCat},
    {.name = "TwoCategoriesBeforeAction", .args = {"-u", "-g"}, .status = 7, .err = kMultiCat},
    {.name = "ListWithoutCategory", .args = {"-l", "all"}, .status = 7, .err = kListNeedsCat},
    {.name = "StatusWithUser", .args = {"-s", "-u"}, .status = 7,
     .err = "Error: options --status and --user cannot be used together.\n"},
    {.name = "ReloadWithGroup", .args = {"-R", "-g"}, .status = 7,
     .err = "Error: options --reload and --group cannot be used together.\n"},
    {.name = "ListWithForce", .args = {"-l", "visible", "-g", "-f"}, .status = 7, .err = kForceNeedsReload},
    {.name = "StatusWithProfileOnly", .args = {"-s", "-p"}, .status = 7, .err = kForceNeedsReload},
    {.name = "VersionBeforeConflict", .args = {"-v", "-s", "-s"}, .status = 0, .out = kVersion},
    {.name = "ConflictBeforeVersion", .args = {"-s", "-s", "-v"}, .status = 7, .err = kMultiAction},
    {.name = "VersionBeforeUnknownOption", .args = {"--version", "--bogus"}, .status = 0, .out = kVersion},
    {.name = "ConflictWithAgentDown", .args = {"-s", "-R"}, .agent = false, .status = 7, .err = kMultiAction},

    // --- status
    {.name = "StatusAgentDownEnabled", .args = {"-s"}, .agent = false, .status = 156, .out = kEnabledMsg,
     .audit = Success(), .emergency_empty = true},
    {.name = "StatusAgentDownDisabled", .args = {"-s"}, .agent = false, .conf = kDisabled, .status = 157,
     .out = kDisabledMsg, .audit = Success()},
    {.name = "StatusAgentDownKeyAbsent", .args = {"--status"}, .agent = false, .conf = "", .status = 157,
     .out = kDisabledMsg, .audit = Success()},
    {.name = "StatusAgentDownYesUpperCase", .args = {"-s"}, .agent = false,
     .conf = "vxagent.local.account.manage: YES\n", .status = 156, .out = kEnabledMsg, .audit = Success()},
    {.name = "StatusAgentDownLetterY", .args = {"-s"}, .agent = false,
     .conf = "vxagent.local.account.manage: y\n", .status = 157, .out = kDisabledMsg, .audit = Success()},
    {.name = "StatusAgentEnabled", .args = {"-s"}, .conf = kDisabled, .status = 156, .out = kEnabledMsg,
     .audit = Success(), .requests = kStatusReq},
    {.name = "StatusAgentDisabledWinsOverConfig", .args = {"-s"}, .faults = {"111:disabled"}, .status = 157,
     .out = kDisabledMsg, .audit = Success(), .requests = kStatusReq},
    {.name = "StatusAbbreviatedLongOption", .args = {"--stat"}, .status = 156, .out = kEnabledMsg,
     .audit = Success(), .requests = kStatusReq},
    {.name = "StatusOperandIgnored", .args = {"-s", "extra"}, .status = 156, .out = kEnabledMsg,
     .audit = Success(), .requests = kStatusReq},
    {.name = "StatusVerbose", .args = {"-V", "-s"}, .status = 156, .out = kEnabledMsg, .audit = Success(),
     .requests = kStatusReq},
    {.name = "StatusReplyWithoutFieldsUsesConfigTrue", .args = {"-s"}, .faults = {"111:no-fields"},
     .status = 156, .out = kEnabledMsg, .audit = Success(), .requests = kStatusReq,
     .log2 = {{3, kCli, "SendGetLocalAcctMgmtStatus", "Failure while reading message: At end of message"}}},
    {.name = "StatusReplyWithoutFieldsUsesConfigFalse", .args = {"-s"}, .faults = {"111:no-fields"},
     .conf = kDisabled, .status = 157, .out = kDisabledMsg, .audit = Success(), .requests = kStatusReq},
    {.name = "StatusReplyBadMagicUsesConfig", .args = {"-s"}, .faults = {"111:bad-magic"}, .conf = kDisabled,
     .status = 157, .out = kDisabledMsg, .audit = Success(), .requests = kStatusReq,
     .log2 = {{3, kMsgFile, "Send", "Failed to send message: Socket error, MsgType: 111."}}},
    {.name = "StatusHandshakeRefusedUsesConfig", .args = {"-s"}, .faults = {"handshake:refuse"},
     .status = 156, .out = kEnabledMsg, .audit = Success(Where::kSyslog, "root")},
    {.name = "StatusAfterChallenge", .args = {"-s"}, .faults = {"111:challenge=1"}, .conf = kDisabled,
     .status = 156, .out = kEnabledMsg, .audit = Success(), .requests = kStatusReq},

    // --- reload
    {.name = "ReloadAgentDown", .args = {"-R"}, .agent = false, .status = 13, .err = S({kNotRunning, "\n"}),
     .audit = Failure(kNotRunning), .emergency_empty = true},
    {.name = "ReloadHandshakeRefused", .args = {"-R"}, .faults = {"handshake:refuse=7"}, .status = 13,
     .err = S({kNotRunning, "\n"}), .audit = Failure(kNotRunning, Where::kSyslog, "root")},
    {.name = "Reload", .args = {"-R"}, .status = 0, .audit = Success(), .requests = kReloadReq},
    {.name = "ReloadForceProfileOnly", .args = {"-R", "-f", "-p"}, .status = 0, .audit = Success(),
     .requests = kReloadReq},
    {.name = "ReloadWhileDisabled", .args = {"--reload"}, .faults = {"111:disabled"}, .status = 255,
     .err = S({kReloadDisabled, "\n"}), .audit = Failure(kReloadDisabled), .requests = kStatusReq},
    {.name = "ReloadResultNonZero", .args = {"-R"}, .faults = {"112:status=5"}, .status = 158,
     .err = "Failed to reload local account\n", .audit = Failure("Failed to reload local account"),
     .requests = kReloadReq},
    {.name = "ReloadReplyWithoutFields", .args = {"-R"}, .faults = {"112:no-fields"}, .status = 158,
     .err = "Failed to reload local account\n", .audit = Failure("Failed to reload local account"),
     .requests = kReloadReq,
     .log2 = {{3, kCli, "SendReloadLocalAccounts", "Failure while reading message: At end of message"}}},
    {.name = "ReloadConnectionClosed", .args = {"-R"}, .faults = {"112:close"}, .status = 158,
     .err = "Failed to reload local account\n", .audit = Failure("Failed to reload local account"),
     .requests = kReloadReq,
     .log2 = {{3, kMsgFile, "Send", "Failed to send message: Socket closed, MsgType: 112."}}},

    // --- list
    {.name = "ListAgentDown", .args = {"-l", "all", "-u"}, .agent = false, .status = 13,
     .err = S({kNotRunning, "\n"}), .audit = Failure(kNotRunning)},
    {.name = "ListVisibleUsers", .args = {"--list", "visible", "--user"}, .status = 0, .out = S({kAlice, kCarol}),
     .audit = Success(), .requests = kListReq},
    {.name = "ListAllUsers", .args = {"-l", "all", "-u"}, .status = 0, .out = S({kAlice, kBob, kCarol}),
     .audit = Success(), .requests = kListReq},
    {.name = "ListRemoveUsers", .args = {"--list", "remove", "--user"}, .status = 0, .out = kBob,
     .audit = Success(), .requests = kListReq},
    {.name = "ListAllGroups", .args = {"--list", "all", "--group"}, .status = 0,
     .out = S({kStaff, kAdmins, kWheel}), .audit = Success(), .requests = kListReq},
    {.name = "ListRemoveGroupsJoinedArgument", .args = {"--list=remove", "--group"}, .status = 0, .out = kWheel,
     .audit = Success(), .requests = kListReq},
    {.name = "ListOperandIgnored", .args = {"-l", "visible", "extra", "-g"}, .status = 0,
     .out = S({kStaff, kAdmins}), .audit = Success(), .requests = kListReq},
    {.name = "ListEmptySet", .args = {"-l", "all", "-u"}, .data = Data::kEmpty, .status = 0,
     .audit = Success(), .requests = kListReq},
    {.name = "ListWhileDisabled", .args = {"-l", "all", "-u"}, .faults = {"111:disabled"}, .status = 255,
     .err = S({kListDisabled, "\n"}), .audit = Failure(kListDisabled), .requests = kStatusReq},
    {.name = "ListStatusNonZero", .args = {"-l", "all", "-u"}, .faults = {"113:status=2"}, .status = 159,
     .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq, .log2_absent = {{3, kCli, "SendListLocalAccount", "", true}}},
    {.name = "ListAfterTwoChallenges", .args = {"-l", "visible", "-u"}, .faults = {"113:challenge=2"},
     .status = 0, .out = S({kAlice, kCarol}), .audit = Success(), .requests = kListReq},
    {.name = "ListReplyWrongKinds", .args = {"-l", "all", "-u"}, .faults = {"113:wrong-kinds"}, .status = 159,
     .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq,
     .log2 = {{3, kCli, "SendListLocalAccount", "Failure while reading message: ", true}}},
    {.name = "ListReplyClosedMidFrame", .args = {"-l", "all", "-u"}, .faults = {"113:close-mid"},
     .status = 159, .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq,
     .log2 = {{3, kMsgFile, "Send", "Failed to send message: Socket closed, MsgType: 113."}}},
    {.name = "ListReplyShortLength", .args = {"-l", "all", "-u"}, .faults = {"113:short-length"},
     .status = 159, .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq, .log2 = {{3, kMsgFile, "Send", "Failed to send message: ", true}}},
    {.name = "ListReplyHugeLength", .args = {"-l", "all", "-u"}, .faults = {"113:huge-length"},
     .status = 159, .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq, .log2 = {{3, kMsgFile, "Send", "Failed to send message: ", true}}},
    {.name = "ListReplyInvalidBody", .args = {"-l", "all", "-u"}, .faults = {"113:invalid-body"},
     .status = 159, .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq,
     .log2 = {{3, kMsgFile, "Send", "Failed to send message: Socket error, MsgType: 113."}}},
    {.name = "ListReplyStatusWithoutSet", .args = {"-l", "all", "-u"}, .faults = {"113:no-fields"},
     .status = 159, .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq,
     .log2 = {{3, kCli, "SendListLocalAccount", "Failure while reading message: At end of message"}}},

    // --- dump
    {.name = "DumpUsers", .args = {"-d", "user"}, .status = 0, .out = S({kAlice, Marked(kBob).c_str(), kCarol}),
     .requests = kDumpReq},
    {.name = "DumpLaterNameWins", .args = {"-d", "user", "--dump=group"}, .status = 0,
     .out = S({kStaff, kAdmins, Marked(kWheel).c_str()}), .requests = kDumpReq},
    {.name = "DumpStatusNonZero", .args = {"-d", "user"}, .faults = {"114:status=3"}, .status = 255,
     .requests = kDumpReq},
    {.name = "DumpClosedMidFrame", .args = {"-d", "group"}, .faults = {"114:close-mid"}, .status = 255,
     .requests = kDumpReq},
    {.name = "DumpIgnoresStatusAndCategory", .args = {"-d", "user", "-s", "-u"}, .status = 0,
     .out = S({kAlice, Marked(kBob).c_str(), kCarol}), .requests = kDumpReq},
    {.name = "DumpWithStatusAgentDownEnabled", .args = {"-d", "user", "-s", "-u"}, .agent = false,
     .status = 156, .out = kEnabledMsg, .audit = Success()},
    {.name = "DumpWithStatusAgentDownDisabled", .args = {"-d", "user", "-s", "-u"}, .agent = false,
     .conf = kDisabled, .status = 157, .out = kDisabledMsg, .audit = Success()},
    {.name = "DumpAgentDown", .args = {"-d", "group"}, .agent = false, .status = 13,
     .err = S({kNotRunning, "\n"}), .audit = Failure(kNotRunning)},

    // --- client log: forwarding to the agent, emergency file and syslog
    {.name = "TraceRecordsReachAgent", .args = {"-l", "visible", "-u"},
     .conf = S({kEnabled, "log.vxaccounts: trace\n"}), .status = 0, .out = S({kAlice, kCarol}),
     .audit = Success(), .requests = kListReq,
     .log2 = {{0, kMsgFile, "Send", "Request: ", true}, {0, kMsgFile, "Send", "Reply: ", true},
              {0, kMsgFile, "Send", "Request: ", true}, {0, kMsgFile, "Send", "Reply: ", true}}},
    {.name = "TraceLevelFromShorterKey", .args = {"-R"}, .conf = S({kEnabled, "log: TRACE\n"}), .status = 0,
     .audit = Success(), .requests = kReloadReq,
     .log2 = {{0, kMsgFile, "Send", "Request: ", true}, {0, kMsgFile, "Send", "Reply: ", true}}},
    {.name = "OwnLevelKeyWinsOverShorterKey", .args = {"-R"},
     .conf = S({kEnabled, "log: trace\nlog.vxaccounts: warning\n"}), .status = 0, .audit = Success(),
     .requests = kReloadReq, .log2_absent = {{0, kMsgFile, "Send", "", true}}},
    {.name = "DebugRecordsToEmergencyFile", .args = {"-R"}, .agent = false,
     .conf = S({kEnabled, "log.vxaccounts: debug\nvxaccounts: file /var/log/quarnel_client.log\n"}),
     .status = 13, .err = S({kNotRunning, "\n"}), .audit = Failure(kNotRunning),
     .emergency = {{"DEBUG", kNoLogConnect}, {"DEBUG", kNoConnect}}},
    {.name = "DebugRecordsToSyslogFacility", .args = {"-R"}, .agent = false,
     .conf = S({kEnabled, "log.vxaccounts: debug\nvxaccounts: local3\n"}), .status = 13,
     .err = S({kNotRunning, "\n"}), .audit = Failure(kNotRunning), .emergency_empty = true,
     .syslog = {{19 << 3 | 7, S({"DEBUG: ", kNoConnect})}}},
    {.name = "LoggerRecordsStayOffStdout", .args = {"-V", "-l", "all", "-g"},
     .conf = S({kEnabled, "log: debug\n"}), .status = 0, .out = S({kStaff, kAdmins, kWheel}),
     .audit = Success(), .requests = kListReq, .syslog = {{-1, "PrintList: staff:x:2001:alice,bob"}}},

    // --- configuration that changes where things go
    {.name = "WorldWritableConfigurationIgnored", .args = {"-s"}, .agent = false, .conf_mode = 0666,
     .status = 157, .out = kDisabledMsg, .audit = Success()},
    {.name = "ConfiguredSocketElsewhere", .args = {"-R"},
     .conf = S({kEnabled, "vxagent.clients.socket2: /var/vorlex/elsewhere\n"}), .status = 13,
     .err = S({kNotRunning, "\n"}), .audit = Failure(kNotRunning, Where::kSyslog, kUpn)},
    {.name = "AgentGoneMidRun", .args = {"-l", "all", "-u"}, .faults = {"111:exit"}, .status = 159,
     .err = "Failed to list local account\n", .audit = Failure("Failed to list local account", Where::kSyslog),
     .requests = kStatusReq,
     .emergency = {{"WARNING", "Failed to send message: ", true}}},

    // --- an agent that never answers: the configured time-out ends the run
    {.name = "AccountRequestsNeverAnswered", .args = {"-l", "all", "-u"},
     .faults = {"111:silent", "113:silent", "107:silent"}, .conf = S({kEnabled, "lrpc.timeout: 2\n"}),
     .status = 159, .err = "Failed to list local account\n", .audit = Failure("Failed to list local account"),
     .requests = kListReq,
     .emergency = {{"WARNING", "Failed to send message: Timeout during operation, MsgType: 111."},
                   {"WARNING", "Failed to send message: Timeout during operation, MsgType: 113."}},
     .max_seconds = 10, .min_seconds = 4},
    {.name = "AgentNeverAnswers", .args = {"-l", "all", "-u"}, .faults = {"any:silent"},
     .conf = S({kEnabled, "lrpc.timeout: 2\n"}), .status = 159, .err = "Failed to list local account\n",
     .audit = Failure("Failed to list local account", Where::kAgent, "root"), .requests = kListReq,
     .emergency = {{"WARNING", "Failed to send message: Timeout during operation, MsgType: 113."}},
     .max_seconds = 10, .min_seconds = 4},
};

class VxaccountsRun : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    const std::string &reason = EnterSandbox();
    if (!reason.empty()) GTEST_SKIP() << "skipped: " << reason;
  }
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

std::string ArgumentText(const std::vector<std::string> &args) {
  std::string text;
  for (const auto &a : args) text += (text.empty() ? "" : " ") + a;
  return text.empty() ? "(none)" : text;
}

void PrintTo(const Row &row, std::ostream *os) { *os << row.name << " [" << ArgumentText(row.args) << "]"; }

void WriteData(const vxtest::TempDir &dir, Data data) {
  dir.write("upn", S({"root ", kUpn, "\n"}));
  if (data == Data::kEmpty) return;
  dir.write("passwd", S({kAlice, kBob, kCarol}));
  dir.write("group", S({kStaff, kAdmins, kWheel}));
  dir.write("remove", kRemoved);
}

std::string AuditUser(const Row &row) {
  if (row.audit.user != nullptr) return row.audit.user;
  if (row.nobody) return "nobody";
  return row.agent ? kUpn : "root";
}

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

void CheckAudit(const Row &row, const RunResult &run, const std::string &audit_log) {
  std::vector<std::string> at_agent = SplitLines(audit_log);
  std::vector<std::string> in_syslog;
  for (const auto &rec : run.syslog)
    if (rec.text.find("audit event") != std::string::npos) in_syslog.push_back(rec.raw);
  if (row.audit.event == 0) {
    EXPECT_TRUE(at_agent.empty()) << "unexpected audit event at the agent: " << audit_log;
    EXPECT_TRUE(in_syslog.empty()) << "unexpected audit fall-back line: " << in_syslog.front();
    return;
  }
  Where where = row.audit.where != Where::kAuto ? row.audit.where : row.agent ? Where::kAgent : Where::kSyslog;
  std::string user = AuditUser(row), args = ArgumentText(row.args);
  if (where == Where::kAgent) {
    std::string want = "Quarnel Suite\tLocal Account Management\t" + std::to_string(row.audit.event) + "\t" +
                       user + "\t" + std::to_string(run.pid) + "\t" + args;
    if (row.audit.event == 2001) want += "\t" + row.audit.message;
    EXPECT_EQ(at_agent, std::vector<std::string>{want});
    EXPECT_TRUE(in_syslog.empty()) << "audit fall-back line although the agent took the event";
    return;
  }
  EXPECT_TRUE(at_agent.empty()) << audit_log;
  std::string want = "audit event not delivered: suite=\"Quarnel Suite\" category=\"Local Account Management\" "
                     "event=" + std::to_string(row.audit.event) + " user=" + Quoted(user) +
                     " pid=" + std::to_string(run.pid) + " args=" + Quoted(args);
  if (row.audit.event == 2001) want += "," + Quoted(row.audit.message);
  std::vector<std::string> got;
  for (const auto &rec : run.syslog)
    if (rec.text.find("audit event") != std::string::npos) {
      EXPECT_EQ(rec.priority, kAuditPriority) << rec.raw;
      got.push_back(rec.text);
    }
  EXPECT_EQ(got, std::vector<std::string>{want});
}

bool Matches(const LogRec &want, const std::vector<std::string> &cells) {
  // msgno, time, process, pid, level, file, line, function, text
  if (cells.size() != 9 || cells[4] != std::to_string(want.level) || cells[5] != want.file ||
      cells[7] != want.function)
    return false;
  return want.prefix ? cells[8].rfind(want.text, 0) == 0 : cells[8] == want.text;
}

void CheckLog2(const Row &row, const RunResult &run, const std::string &log2) {
  std::vector<std::vector<std::string>> records;
  for (const auto &line : SplitLines(log2)) {
    auto cells = SplitTabs(line);
    EXPECT_NE(cells.size() > 1 ? cells[1] : "", "MALFORMED") << "the agent could not read a log message: " << line;
    if (cells.size() < 9) continue;  // end records
    EXPECT_EQ(cells[2], "vxaccounts") << line;
    EXPECT_EQ(cells[3], std::to_string(run.pid)) << line;
    records.push_back(cells);
  }
  size_t next = 0;
  for (const auto &want : row.log2) {
    while (next < records.size() && !Matches(want, records[next])) ++next;
    EXPECT_LT(next, records.size()) << "missing at the agent (in order): level " << want.level << " "
                                    << want.function << " \"" << want.text << "\"\nlog2.log:\n" << log2;
    ++next;
  }
  for (const auto &unwanted : row.log2_absent)
    for (const auto &cells : records)
      EXPECT_FALSE(Matches(unwanted, cells)) << "unexpected record at the agent: " << cells[8];
}

void CheckEmergency(const Row &row, const RunResult &run) {
  std::string content = ReadWhole("/var/log/quarnel_client.log");
  if (row.emergency_empty) {
    EXPECT_EQ(content, "");
  }
  std::vector<std::string> lines = SplitLines(content);
  static const std::regex kStamp("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
  size_t next = 0;
  for (const auto &want : row.emergency) {
    std::string tail = "vxaccounts[" + std::to_string(run.pid) + "] " + want.level + ": " + want.text;
    auto fits = [&](const std::string &l) {
      if (l.size() < 16 || !std::regex_match(l.substr(0, 16), kStamp)) return false;
      return want.prefix ? l.compare(16, tail.size(), tail) == 0 : l.substr(16) == tail;
    };
    while (next < lines.size() && !fits(lines[next])) ++next;
    EXPECT_LT(next, lines.size()) << "missing in the emergency file (in order): " << tail << "\nfile:\n"
                                  << content;
    ++next;
  }
}

void CheckSyslog(const Row &row, const RunResult &run) {
  std::string ident = "vxaccounts[" + std::to_string(run.pid) + "]";
  for (const auto &want : row.syslog) {
    bool found = false;
    for (const auto &rec : run.syslog)
      found = found || (rec.ident == ident && (want.priority < 0 || rec.priority == want.priority) &&
                        rec.text.find(want.text_contains) != std::string::npos);
    std::string all;
    for (const auto &rec : run.syslog) all += rec.raw + "\n";
    EXPECT_TRUE(found) << "no syslog record of " << ident << " with priority " << want.priority
                       << " containing \"" << want.text_contains << "\"; got:\n" << all;
  }
}

void CheckRequests(const Row &row, const std::string &requests_log) {
  std::vector<int> seen;
  for (const auto &line : SplitLines(requests_log)) {
    int type = atoi(line.c_str());
    if (type >= 111 && type <= 114) seen.push_back(type);
  }
  EXPECT_EQ(seen, row.requests) << "account requests the agent received";
}

// Every frame the command sent carries its credentials (SO_PASSCRED), and
// they name the user who ran it.
void CheckCredentials(const Row &row, const RunResult &run, const std::string &frames_log) {
  const std::string pid = "pid=" + std::to_string(run.pid);
  const std::string uid = "uid=" + std::to_string(row.nobody ? kNobody : 0);
  size_t own = 0;
  for (const auto &line : SplitLines(frames_log)) {
    auto cells = SplitTabs(line);
    ASSERT_EQ(cells.size(), 4u) << line;
    EXPECT_NE(cells[1], "pid=?") << "a frame arrived without credentials: " << line;
    if (cells[1] != pid) continue;
    ++own;
    EXPECT_EQ(cells[2], uid) << line;
  }
  if (!row.requests.empty()) {
    EXPECT_GT(own, 0u) << "no frame of the command carried its process id";
  }
}

TEST_P(VxaccountsRun, EndsAsSpecified) {
  const Row &row = GetParam();
  ResetState(row.conf, row.conf_mode);
  vxtest::TempDir data, record;
  WriteData(data, row.data);
  Agent agent;
  if (row.agent) {
    std::string error = agent.Start(VX_E2E_AGENTSIM, data.path(), record.path(), row.faults);
    ASSERT_EQ(error, "") << ReadWhole(agent.log_path());
  }
  RunResult run = RunProgram(VX_E2E_VXACCOUNTS, row.args, row.nobody, kRunLimitSeconds);
  agent.Sync(kSyncSeconds);
  int agent_status = agent.Stop();

  ASSERT_FALSE(run.timed_out) << "vxaccounts did not end within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(run.out, row.out);
  if (row.err_regex != nullptr) {
    EXPECT_TRUE(std::regex_match(run.err, std::regex(row.err_regex))) << "stderr: " << run.err;
  } else {
    EXPECT_EQ(run.err, row.err);
  }
  EXPECT_LE(run.seconds, row.max_seconds) << "the run must end within a few configured time-outs";
  EXPECT_GE(run.seconds, row.min_seconds);
  if (row.agent) {
    EXPECT_EQ(agent_status, 0) << ReadWhole(agent.log_path());
  }

  CheckAudit(row, run, ReadWhole(record.file("audit.log")));
  if (row.agent) CheckRequests(row, ReadWhole(record.file("requests.log")));
  if (row.agent) CheckCredentials(row, run, ReadWhole(record.file("frames.log")));
  CheckLog2(row, run, ReadWhole(record.file("log2.log")));
  CheckEmergency(row, run);
  CheckSyslog(row, run);
}

INSTANTIATE_TEST_SUITE_P(Table, VxaccountsRun, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace vxe2e
