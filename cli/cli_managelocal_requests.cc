// The four requests vxaccounts makes of the agent, and the configuration's
// local account management switch that stands in when the agent cannot
// answer.
#include <string.h>

#include <string>

#include "cli/cli_common.h"
#include "cli/cli_managelocal.h"
#include "client_common/client_msg.h"
#include "client_common/log_buffer.h"
#include "client_common/msg.h"
#include "client_common/msg_types.h"
#include "kest/properties.h"
#include "kest/text.h"

namespace {

constexpr char kConstructionFailed[] = "Failure in message construction: %s";
constexpr char kReadFailed[] = "Failure while reading message: %s";

// Texts of the switch that mean enabled, compared after lower-casing.
constexpr const char *kEnabledTexts[] = {"true", "yes", "1"};

// Logs a failed append or read of `function` at WARNING; returns 0 so that
// callers can end with it.
int Warn(ClientContext *context, const char *function, int line, const char *format, uint32_t status) {
  if (ClientLogEnabled(context->log, LOG_LEVEL_WARNING)) {
    const char *text = MsgErr2Str(status);
    ClientLogWrite(context->log, LOG_LEVEL_WARNING, kCommandLogSource, line, function, format,
                   text != nullptr ? text : "(null)");
  }
  return 0;
}

// Status and string set of a list or dump reply. 1 when the agent's status
// is 0 and the entries were read.
int ReadEntries(ClientContext *context, Msg *reply, const char *function, MsgSetReader *entries) {
  int32_t status = 0;
  uint32_t rc = MsgGetInt(reply, &status);
  if (rc != 0) return Warn(context, function, __LINE__, kReadFailed, rc);
  if (status != 0) return 0;
  rc = MsgOpenStringSet(reply, entries, nullptr);
  if (rc != 0) return Warn(context, function, __LINE__, kReadFailed, rc);
  return 1;
}

}  // namespace

int SendGetLocalAcctMgmtStatus(ClientContext *context, uint32_t *enabled) {
  static const char kFunction[] = "SendGetLocalAcctMgmtStatus";
  *enabled = 0;
  Msg *request = NewClientMsg(context, MSGTYPE_GET_LOCAL_ACCT_MGMT);
  if (request == nullptr) return 0;
  Msg *reply = Send(context, request);
  if (reply == nullptr) return 0;
  uint32_t rc = MsgGetBool(reply, enabled);
  if (rc != 0) return Warn(context, kFunction, __LINE__, kReadFailed, rc);
  return 1;
}

int SendReloadLocalAccounts(ClientContext *context, int force, int profileOnly, uint32_t *result) {
  static const char kFunction[] = "SendReloadLocalAccounts";
  *result = 0;
  Msg *request = NewClientMsg(context, MSGTYPE_RELOAD_LOCAL_ACCT);
  if (request == nullptr) return 0;
  uint32_t rc = MsgAddBool(request, force);
  if (rc == 0) rc = MsgAddBool(request, profileOnly);
  if (rc != 0) return Warn(context, kFunction, __LINE__, kConstructionFailed, rc);
  Msg *reply = Send(context, request);
  if (reply == nullptr) return 0;
  int32_t value = 0;
  rc = MsgGetInt(reply, &value);
  if (rc != 0) return Warn(context, kFunction, __LINE__, kReadFailed, rc);
  *result = static_cast<uint32_t>(value);
  return 1;
}

int SendListLocalAccount(ClientContext *context, ListType listType, const AccountCategory &category,
                         MsgSetReader *entries) {
  static const char kFunction[] = "SendListLocalAccount";
  *entries = MsgSetReader{};
  Msg *request = NewClientMsg(context, MSGTYPE_LIST_LOCAL_ACCT);
  if (request == nullptr) return 0;
  uint32_t rc = MsgAddString(request, ListTypeName(listType).c_str());
  if (rc == 0) rc = MsgAddString(request, CategoryName(category).c_str());
  if (rc != 0) return Warn(context, kFunction, __LINE__, kConstructionFailed, rc);
  Msg *reply = Send(context, request);
  if (reply == nullptr) return 0;
  return ReadEntries(context, reply, kFunction, entries);
}

int SendDumpLocalAccount(ClientContext *context, const std::string &dumpName, MsgSetReader *entries) {
  static const char kFunction[] = "SendDumpLocalAccount";
  *entries = MsgSetReader{};
  Msg *request = NewClientMsg(context, MSGTYPE_DUMP_LOCAL_ACCT);
  if (request == nullptr) return 0;
  uint32_t rc = MsgAddString(request, dumpName.c_str());
  if (rc != 0) return Warn(context, kFunction, __LINE__, kConstructionFailed, rc);
  Msg *reply = Send(context, request);
  if (reply == nullptr) return 0;
  return ReadEntries(context, reply, kFunction, entries);
}

bool IsManageSwitchEnabled(const std::string &value) {
  const std::string text = kest::lower(value);
  for (const char *enabled : kEnabledTexts) {
    if (text == enabled) return true;
  }
  return false;
}

bool IsLocalAccountManageEnabled() {
  return IsManageSwitchEnabled(ReadSupportProperty(kest::PN::VXAGENT_LOCAL_ACCOUNT_MANAGE, ""));
}
