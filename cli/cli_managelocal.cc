// vxaccounts: shows whether the agent manages local accounts, makes it
// reload them, or lists them. One action per run; see main2 for the steps.
#include "cli/cli_managelocal.h"

#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <exception>
#include <memory>
#include <string>

#include "cli/cli_common.h"
#include "client_common/client_context.h"
#include "kest/audit.h"
#include "kest/logger.h"
#include "kest/text.h"

namespace {

using LoggerPtr = std::shared_ptr<kest::Logger>;

constexpr char kMain2[] = "main2";
constexpr char kReloadDisabled[] =
    "The local account management is disabled, can't reload local account. Please enable it first";
constexpr char kListDisabled[] =
    "The local account management is disabled, can't list local account. Please enable it first.";
constexpr char kUnknownException[] = "Unknown exception";

// What main2 decides while the run goes on. It lives in static storage: the
// paths that end without releasing the context leave it reachable at exit.
struct RunState {
  ClientContext context{};
  uint32_t enabled = 0;
  int32_t status = -1;  // reported as 255 unless a step decides otherwise
  std::string message;
};

std::string CommonText(int code) { return std::string(ExitCodeMessage(CommonExitCodes, code).value_or("")); }
std::string LocalText(int code) {
  return std::string(ExitCodeMessage(LocalAccountExitCodes, code).value_or(""));
}

void LogText(const LoggerPtr &logger, int level, int line, const char *function, const char *text) {
  if (logger && logger->isEnabled(level)) logger->log(level, kCommandLogSource, line, function, "%s", text);
}

// A reader of standard output that goes away (`| head`) ends the output, not
// the run: the entries were received, the rest is not wanted, and the run
// goes on as if all had been printed (no message, the same status and audit
// event). Any other write failure stays a failure.
bool PrintEntries(MsgSetReader entries) {
  errno = 0;
  return PrintList(entries) || errno == EPIPE;
}

// Opens the configuration, the client log and the session to the agent.
void OpenContext(ClientContext &context) {
  InitClientContext(&context, nullptr, nullptr, kLogDestinationKey, CLIENT_DEFAULT_EMERGENCY_LOG,
                    kLogLevelKey, kDefaultLogLevel);
  EnableLogForwarding(&context);
  OpenLRPC2Session(&context);
}

// The status report: 156 when management is enabled, else 157.
int StatusReport(const LoggerPtr &logger, uint32_t enabled) {
  const int code = enabled != 0 ? EXIT_CODE_LOCAL_ACCOUNT_ENABLED : EXIT_CODE_LOCAL_ACCOUNT_DISABLED;
  const std::string text = LocalText(code);
  LogText(logger, kest::Logger::DEBUG, __LINE__, kMain2, text.c_str());
  printf("%s\n", text.c_str());
  return code;
}

// Without an agent, --status answers from the configuration; anything else
// fails with 13.
int WithoutAgent(const LoggerPtr &logger, const CommandOptions &options, const RunIdentity &identity) {
  if (options.action == ACTION_STATUS) {
    const uint32_t enabled = IsLocalAccountManageEnabled() ? 1 : 0;
    AuditSuccess(identity);
    return StatusReport(logger, enabled);
  }
  const std::string text = CommonText(EXIT_CODE_AGENT_UNAVAILABLE);
  AuditFailure(identity, text);
  LogText(logger, kest::Logger::ERROR, __LINE__, kMain2, text.c_str());
  (void)fprintf(stderr, "%s\n", text.c_str());
  return EXIT_CODE_AGENT_UNAVAILABLE;
}

// The hidden dump: 0 when the entries were printed, else -1.
int Dump(ClientContext &context, const CommandOptions &options) {
  MsgSetReader entries{};
  const bool done = SendDumpLocalAccount(&context, options.dumpName, &entries) != 0 && PrintEntries(entries);
  return done ? EXIT_CODE_SUCCESS : -1;
}

void Reload(RunState &run, const CommandOptions &options) {
  if (run.enabled == 0) {
    run.message = kReloadDisabled;
    return;
  }
  uint32_t result = 0;
  if (SendReloadLocalAccounts(&run.context, options.force, options.profileOnly, &result) != 0 &&
      result == 0) {
    run.status = EXIT_CODE_SUCCESS;
    return;
  }
  run.status = EXIT_CODE_RELOAD_FAILED;
  run.message = LocalText(EXIT_CODE_RELOAD_FAILED);
}

// A list that cannot be written to standard output (for another reason than
// a reader that went away) has failed like one the agent would not give.
void List(RunState &run, const CommandOptions &options) {
  if (run.enabled == 0) {
    run.message = kListDisabled;
    return;
  }
  MsgSetReader entries{};
  const bool done = SendListLocalAccount(&run.context, options.listType, options.category, &entries) != 0 &&
                    PrintEntries(entries);
  if (done) {
    run.status = EXIT_CODE_SUCCESS;
    return;
  }
  run.status = EXIT_CODE_LIST_FAILED;
  run.message = LocalText(EXIT_CODE_LIST_FAILED);
}

// A status request that failed in transport took its session with it (a
// session that failed is never used again); a reload or list request then
// goes out on a new one. False when that cannot be opened: the agent is
// then as unreachable as at the start. Nothing is opened for a request that
// will not be sent (management disabled).
bool SessionForRequest(RunState &run) {
  return run.enabled == 0 || run.context.session != nullptr || OpenLRPC2Session(&run.context) != 0;
}

// Logs and shows the message of the outcome, if any.
void ReportMessage(const LoggerPtr &logger, const std::string &message) {
  if (message.empty()) return;
  LogText(logger, kest::Logger::ERROR, __LINE__, kMain2, message.c_str());
  (void)fprintf(stderr, "%s\n", message.c_str());
}

void SendAudit(const RunIdentity &identity, int event, const char *message) {
  if (message == nullptr) {
    kest::SetAuditTrailEvent(kAuditSuite, kAuditCategory, event, 0, 0, identity.user.c_str(), 0, 0,
                             identity.pid, kest::AUDIT_ARG_STRING, identity.arguments.c_str(),
                             kest::AUDIT_ARG_END);
    return;
  }
  kest::SetAuditTrailEvent(kAuditSuite, kAuditCategory, event, 0, 0, identity.user.c_str(), 0, 0,
                           identity.pid, kest::AUDIT_ARG_STRING, identity.arguments.c_str(),
                           kest::AUDIT_ARG_STRING, message, kest::AUDIT_ARG_END);
}

// Never null, whatever the exception gives.
const char *Description(const std::exception &error) {
  const char *text = error.what();
  return text != nullptr ? text : "";
}

}  // namespace

void AuditSuccess(const RunIdentity &identity) { SendAudit(identity, AUDIT_EVENT_SUCCESS, nullptr); }

void AuditFailure(const RunIdentity &identity, const std::string &message) {
  SendAudit(identity, AUDIT_EVENT_FAILURE, message.c_str());
}

RunIdentity MakeRunIdentity(int argc, char **argv) {
  RunIdentity identity;
  identity.arguments = JoinArguments(argc, argv);
  identity.pid = static_cast<long>(getpid());
  const uid_t uid = getuid();
  const struct passwd *entry = getpwuid(uid);
  if (entry == nullptr || entry->pw_name == nullptr) {
    identity.user = "uid " + kest::uidtoa(uid);
    return identity;
  }
  const std::string login = entry->pw_name;
  const std::string principal = GetUserUPN(login);
  identity.user = principal.empty() ? login : principal;
  return identity;
}

int main2(int argc, char **argv) {
  static RunState run;
  const RunIdentity identity = MakeRunIdentity(argc, argv);
  if (rootCheck(kCommandLogger) != 0) {
    AuditFailure(identity, CommonText(EXIT_CODE_NOT_ROOT));
    return EXIT_CODE_NOT_ROOT;
  }
  if (argc == 1) {
    PrintUsage();
    return EXIT_CODE_USAGE;
  }
  CommandOptions options;
  const LoggerPtr logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  if (const std::optional<int> end = ParseOptions(argc, argv, options)) return *end;

  try {
    OpenContext(run.context);
    if (run.context.session == nullptr) return WithoutAgent(logger, options, identity);
    if (!options.dumpName.empty()) return Dump(run.context, options);
    if (SendGetLocalAcctMgmtStatus(&run.context, &run.enabled) == 0) {
      run.enabled = IsLocalAccountManageEnabled() ? 1 : 0;
    }
    if (options.action == ACTION_STATUS) {
      AuditSuccess(identity);
      return StatusReport(logger, run.enabled);
    }
    if (!SessionForRequest(run)) return WithoutAgent(logger, options, identity);
    if (options.action == ACTION_RELOAD) Reload(run, options);
    if (options.action == ACTION_LIST) List(run, options);
    ReportMessage(logger, run.message);
    FreeClientContext(&run.context);
  } catch (const std::exception &error) {
    const char *text = Description(error);
    if (logger && logger->isEnabled(kest::Logger::DEBUG)) {
      logger->log(kest::Logger::DEBUG, kCommandLogSource, __LINE__, kMain2, "Error: %s", text);
    }
    if (options.verbose) (void)fprintf(stderr, "Error: %s\n", text);
    run.message = text;
  }

  if (run.status == EXIT_CODE_SUCCESS) {
    AuditSuccess(identity);
  } else {
    AuditFailure(identity, run.message);
  }
  return run.status;
}

int main(int argc, char **argv) {
  if (!OpenStandardDescriptors()) return EXIT_CODE_MISC;
  // Writes to a pipe without a reader fail with EPIPE instead of killing the
  // process, so the run still ends with its audit event.
  (void)signal(SIGPIPE, SIG_IGN);
  const LoggerPtr logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  std::string text = kUnknownException;
  try {
    return main2(argc, argv);
  } catch (const std::exception &error) {
    text = Description(error);
  } catch (...) {
    text = kUnknownException;
  }
  if (logger && logger->isEnabled(kest::Logger::DEBUG)) {
    logger->log(kest::Logger::DEBUG, kCommandLogSource, __LINE__, "main", "Error: %s", text.c_str());
  }
  (void)fprintf(stderr, "Error: %s\n", text.c_str());
  return EXIT_CODE_MISC;
}
