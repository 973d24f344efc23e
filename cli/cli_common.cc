// Common command services: exit code tables, argument text, user lookup,
// root check.

#include "cli_common.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "kest/logger.h"
#include "kest/properties.h"
#include "kest/rpc.h"
#include "kest/text.h"

namespace {

// ---- Exit codes --------------------------------------------------------

constexpr ExitCodeRow kCommonExitCodeRows[] = {
    {0, "Success"},
    {6, "Other misc errors"},
    {7, "Usage error"},
    {8, "Operation/command aborted by user"},
    {9, "Root privilege is required for the operation"},
    {10, "Machine is not joined to any domain"},
    {11, "Machine has joined"},
    {12, "Machine has joined to another domain"},
    {13, "vxagent is not running/not available"},
    {14, "vxagent is running in disconnected mode"},
    {15, "failed to start vxagent"},
    {16, "DNS Server May be down"},
    {17, "Generic DNS Problem"},
    {18, "Active Directory Domain name is incorrect or not found in DNS"},
    {19, "Username or password is incorrect"},
    {20, "Account has been disabled"},
    {21, "Account has expired"},
    {22, "Account already exists"},
    {23, "Account(user/machine)not found"},
    {24, "Account password has expired"},
    {25, "Unable to find zone."},
    {26, "Invalid container"},
    {27, "Permission denied"},
    {28, "Clock skew error between host and Active Directory"},
    {29, "Invalid computer account"},
    {30, "invalid credentials"},
    {31, "Service ticket not valid"},
    {32, "Policy not matched"},
    {33, "Password change rejected"},
    {34, "Workstation denied"},
    {35, "Active Directory user not found"},
    {36, "Active Directory group not found"},
    {38, "Unable to stop vxagent"},
    {39, "The user has exceeded his join quota."},
    {40, "Open file failed"},
    {41, "Cannot read file"},
    {42, "Cannot copy file"},
    {43, "Fetch distinguish name failed"},
    {44, "Bind to domain failed"},
    {45, "Credentials not found"},
    {46, "Credentials has expired."},
    {47, "SAM (pre-Win 2K) user names must be 20 characters or less"},
    {48, "SAM (pre-Win 2K) computer names must be 15 characters or less"},
    {49, "Network not ready"},
    {50,
     "Invalid server name is encountered, which could be due to the supplied name is an IP address or is not "
     "an "
     "FQDN name or the server is neither a Global Catalog nor a writable domain controller."},
    {52, "User not found in zone"},
    {53, "Group not found in zone"},
    {54, "Cannot find a read-write domain controller"},
    {55, "Kerberos Policy Error (FAST Not Supported)"},
    {56,
     "Principal's TGT revoked by Domain Controller, while getting service ticket, this could be due to "
     "machine is "
     "located in RODC site. "},
    {57, "The SPN violates Active Directory contraint."},
    {58, "Unable to connect to domain controller."},
    {59, "Operation is in progress."},
};

constexpr ExitCodeRow kLocalAccountExitCodeRows[] = {
    {156, "Manage Local Account Feature is enabled"},
    {157, "Manage Local Account Feature is disabled"},
    {158, "Failed to reload local account"},
    {159, "Failed to list local account"},
};

constexpr bool StrictlyAscending(ExitCodeTable rows) {
  return std::adjacent_find(rows.begin(), rows.end(), [](const ExitCodeRow &a, const ExitCodeRow &b) {
           return a.code >= b.code;
         }) == rows.end();
}
static_assert(StrictlyAscending(kCommonExitCodeRows));
static_assert(StrictlyAscending(kLocalAccountExitCodeRows));

}  // namespace

constinit const ExitCodeMap CommonExitCodes{kCommonExitCodeRows};
constinit const ExitCodeMap LocalAccountExitCodes{kLocalAccountExitCodeRows};

// Rows are in ascending code order (checked above), so a binary search.
const ExitCodeRow *ExitCodeMap::find(int32_t code) const {
  const auto it = std::lower_bound(rows_.begin(), rows_.end(), code,
                                   [](const ExitCodeRow &row, int32_t value) { return row.code < value; });
  return it != rows_.end() && it->code == code ? &*it : nullptr;
}

std::optional<std::string_view> ExitCodeMessage(const ExitCodeMap &table, int32_t code) {
  const ExitCodeRow *row = table.find(code);
  if (row == nullptr) return std::nullopt;
  return row->message;
}

// ---- Argument text, user lookup, root check ----------------------------

namespace {

constexpr char kNoArguments[] = "(none)";

std::string PrincipalName(const kest::ADObject &user) {
  const std::string name = kest::KEST_USER_PRINCIPAL_NAME;
  if (kest::GOFAST1 != 0) {
    const kest::ADAttribute &attribute = user[name];
    return attribute.size() > 0 ? std::string(attribute) : kest::EMPTY_STRING;
  }
  return user.attributeExists(name, true) ? std::string(user[name]) : kest::EMPTY_STRING;
}

}  // namespace

std::string ReadSupportProperty(const char *key, const std::string &fallback) {
  kest::Properties &props = kest::Props(false, false);
  props.lock().doLock();
  std::string value;
  try {
    value = props.get(key, fallback);
  } catch (...) {
    props.lock().unLock();
    throw;
  }
  props.lock().unLock();
  return value;
}

std::string JoinArguments(int argc, char **argv) {
  std::string text;
  for (int i = 1; argv != nullptr && i < argc && argv[i] != nullptr; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text.empty() ? std::string(kNoArguments) : text;
}

std::string GetUserUPN(const std::string &userName) {
  const auto logger = kest::Logger::GetThreadPrivateLogger(kCommonLogger);
  try {
    kest::LocalRpcSession session(ReadSupportProperty(kest::PN::KESTD_SOCKET, kDefaultKestdSocket), false,
                                  false);
    session.authenticateProcess();
    const std::shared_ptr<kest::ADObject> user = session.getUserObj(userName, kest::UNIX_ONLY);
    return user ? PrincipalName(*user) : std::string();
  } catch (...) {
    if (logger && logger->isEnabled(kest::Logger::DEBUG)) {
      logger->log(kest::Logger::DEBUG, kCommonLogSource, __LINE__, "GetUserUPN",
                  "Failed to get UPN for user '%s', maybe vxagent is not running/not available.",
                  userName.c_str());
    }
    return std::string();
  }
}

int rootCheck(const std::string &loggerName) {
  if (getuid() == 0) return 0;
  if (kest::progname().empty()) kest::detect_progname();
  const std::string &program = kest::progname();
  const auto logger = kest::Logger::GetThreadPrivateLogger(loggerName);
  if (logger && logger->isEnabled(kest::Logger::DEBUG)) {
    logger->log(kest::Logger::DEBUG, kCommonLogSource, __LINE__, "rootCheck",
                "Error: %s may only be run by root.", program.c_str());
  }
  (void)fprintf(stderr, "Error: %s may only be run by root.\n", program.c_str());
  return EXIT_CODE_NOT_ROOT;
}
