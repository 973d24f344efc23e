// vxaccounts: the command that shows, reloads and lists the agent's managed
// local accounts. The run flow is in cli_managelocal.cc; option handling,
// the requests to the agent and the list output have files of their own.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include "client_common/client_context.h"
#include "client_common/msg.h"

// Logger of the command and the source name its records carry.
inline constexpr char kCommandLogger[] = "cli.vxaccounts";
inline constexpr char kCommandLogSource[] = "cli_managelocal";

inline constexpr char kVersionLine[] = "Vorlex 5.3.1-398";

// Client context set-up: emergency log key and destination, log level key
// and default level.
inline constexpr char kLogDestinationKey[] = "vxaccounts";
inline constexpr char kLogLevelKey[] = "log.vxaccounts";
inline constexpr char kDefaultLogLevel[] = "info";

// Audit trail of the command.
inline constexpr char kAuditSuite[] = "Quarnel Suite";
inline constexpr char kAuditCategory[] = "Local Account Management";
enum AuditEventId { AUDIT_EVENT_SUCCESS = 2000, AUDIT_EVENT_FAILURE = 2001 };

enum ActionType : int32_t { ACTION_STATUS = 0, ACTION_RELOAD = 1, ACTION_LIST = 2, ACTION_NONE = 3 };
enum ListType : int32_t { LIST_ALL = 0, LIST_VISIBLE = 1, LIST_REMOVE = 2, LIST_INVALID = 3 };
enum AccountCategory : int32_t { CATEGORY_USER = 0, CATEGORY_GROUP = 1, CATEGORY_NONE = 2 };

struct CommandOptions {
  ActionType action = ACTION_NONE;
  ListType listType = LIST_INVALID;
  AccountCategory category = CATEGORY_NONE;
  std::string dumpName;  // "user" or "group" when a dump is asked for
  int32_t force = 0;
  int32_t profileOnly = 0;
  bool verbose = false;
};

// Who ran the command, for every audit event of the run.
struct RunIdentity {
  std::string user;  // principal name, else login name, else "uid N"
  long pid = 0;
  std::string arguments;  // the command line after the program name
};

// ---- Run flow (cli_managelocal.cc) ------------------------------------
int main2(int argc, char **argv);
RunIdentity MakeRunIdentity(int argc, char **argv);
void AuditSuccess(const RunIdentity &identity);
void AuditFailure(const RunIdentity &identity, const std::string &message);

// ---- Options (cli_managelocal_options.cc) -----------------------------
ListType ParseListType(const char *text);
std::string ListTypeName(ListType listType);
std::string CategoryName(AccountCategory category);
std::string ActionOptionName(ActionType action);
std::string CategoryOptionName(AccountCategory category);
void PrintUsage();
// Returns when adding `newAction` or `newCategory` (or, with both NONE, the
// final check) is acceptable; otherwise reports and ends the process with 7.
void CheckOptions(const CommandOptions &options, ActionType newAction, AccountCategory newCategory);
// Applies the command line to `options`, checking as it goes and at the end.
// An exit status when the run ends here (usage, version), else nothing.
std::optional<int> ParseOptions(int argc, char **argv, CommandOptions &options);
// How option handling ends the process on a usage error or an option
// conflict (status 7): exit() unless another function is installed, as the
// option fuzzer does to stay in-process. An installed function must not
// return (it throws or jumps away); if it does, exit() follows anyway. Null
// restores exit().
using OptionExitFunction = void (*)(int status);
void SetOptionExitFunction(OptionExitFunction function);

// ---- Requests to the agent (cli_managelocal_requests.cc) --------------
// Each returns 1 on success and 0 on failure, logging the reason. The
// entries of a list or dump are read in place: a reader over the reply's
// string set, valid while the reply lives (the context releases it with
// FreeClientContext); empty after a failure.
int SendGetLocalAcctMgmtStatus(ClientContext *context, uint32_t *enabled);
int SendReloadLocalAccounts(ClientContext *context, int force, int profileOnly, uint32_t *result);
int SendListLocalAccount(ClientContext *context, ListType listType, const AccountCategory &category,
                         MsgSetReader *entries);
int SendDumpLocalAccount(ClientContext *context, const std::string &dumpName, MsgSetReader *entries);
// The configuration's local account management switch: enabled when its
// text is "true", "yes" or "1" in any letter case.
bool IsLocalAccountManageEnabled();
bool IsManageSwitchEnabled(const std::string &value);

// ---- List output (cli_managelocal_list.cc) ----------------------------
// Writes each entry up to the first null one, each followed by a newline, to
// standard output; an entry holding a NUL byte is written up to that byte.
// When the output is a terminal (isatty, asked once per list), control
// bytes (C0 except tab, and DEL) are shown escaped ("\x1b", "\r": see
// util/control_escape.h), so an entry cannot steer the terminal; into a
// pipe or a file the bytes go unchanged. Each entry's DEBUG record carries
// it escaped. False when standard output could not take them all, with
// errno of the failed write.
bool PrintList(MsgSetReader entries);
// The same, to descriptor `fd` (standard output for PrintList).
bool PrintListTo(int fd, MsgSetReader entries);
