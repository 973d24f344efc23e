#include "client_common/log_buffer.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "util/scope.h"

const char *const LEVEL_NAMES[LOG_LEVEL_COUNT] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};

namespace {

constexpr const char *kSource = "log_buffer";
// Destination that selects syslog with the user facility.
constexpr const char *kSyslogDestination = "syslog";
// Prefix of a destination naming a file: "file /absolute/path".
constexpr const char *kFilePrefix = "file ";
constexpr size_t kFilePrefixLength = 5;

struct Facility {
  const char *name;
  int32_t value;
};

// Syslog facilities accepted as a destination, searched in this order.
constexpr Facility kFacilities[] = {
    {"auth", 32},    {"cron", 72},     {"daemon", 24},  {"kern", 0},     {"lpr", 48},     {"mail", 16},
    {"news", 56},    {"security", 32}, {"syslog", 40},  {"user", 8},     {"uucp", 64},    {"local0", 128},
    {"local1", 136}, {"local2", 144},  {"local3", 152}, {"local4", 160}, {"local5", 168}, {"local6", 176},
    {"local7", 184}, {"authpriv", 80}, {"ftp", 88},     {"cron", 72},
};

// Why ConfigureEmergencyLog had to fall back to a discard log.
enum class OpenFailure { kNone, kFile, kFacility, kFacilityName };

using vx::SetStatus;

bool CopyString(const char *from, char **to) {
  *to = from != nullptr ? strdup(from) : nullptr;
  return from == nullptr || *to != nullptr;
}

const char *Text(const char *text) { return text != nullptr ? text : "(null)"; }

// Writes a report about the log itself on behalf of `function`, but only
// once an emergency log exists: before that the record would be gathered and
// could start another send attempt from within a failed one.
#define SELF_REPORT(log, level, function, ...)                                          \
  do {                                                                                  \
    if ((log)->emergency != nullptr && ClientLogEnabled((log), (level)))                \
      (void)ClientLogWrite((log), (level), kSource, __LINE__, (function), __VA_ARGS__); \
  } while (0)

const Facility *FindFacility(const char *name) {
  for (const Facility &row : kFacilities) {
    if (strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

uint32_t AddRecord(Msg *msg, uint32_t time, const char *process, int32_t pid, int32_t level, const char *file,
                   int32_t line, const char *function, const char *text) {
  uint32_t status = MsgAddUInt(msg, time);
  if (status == 0) status = MsgAddString(msg, process);
  if (status == 0) status = MsgAddInt(msg, pid);
  if (status == 0) status = MsgAddInt(msg, level);
  if (status == 0) status = MsgAddString(msg, file);
  if (status == 0) status = MsgAddInt(msg, line);
  if (status == 0) status = MsgAddString(msg, function);
  if (status == 0) status = MsgAddString(msg, text);
  return status;
}

// Adds one record to the pending message, creating it first when needed.
// A message whose append failed is broken and can neither be sent nor read
// back; it is dropped at once so that later records start a fresh message
// instead of being refused for the rest of the log's life.
uint32_t Gather(ClientLog *log, int32_t level, const char *file, int32_t line, const char *function,
                const char *text) {
  if (log->pending == nullptr) {
    uint32_t status = 0;
    log->pending = NewMsg(MSGTYPE_CONTROL_LOG2, log->msg_types, LRPC_HEADER_SIZE, &status);
    if (log->pending == nullptr) return CLIENT_LOG_ERR_GATHER;
  }
  uint32_t status = AddRecord(log->pending, static_cast<uint32_t>(time(nullptr)), log->process_name,
                              static_cast<int32_t>(getpid()), level, file, line, function, text);
  if (status != 0) {
    MsgFree(log->pending);
    log->pending = nullptr;
    return CLIENT_LOG_ERR_GATHER;
  }
  return 0;
}

// Completes the pending message, writes it into the emergency log and drops
// it.
void ReplayPending(ClientLog *log) {
  if (log->pending != nullptr) MsgComplete(log->pending);
  ReplayToEmergencyLog(log, log->pending);
  MsgFree(log->pending);
  log->pending = nullptr;
}

uint32_t OpenSession(ClientLog *log) {
  uint32_t status = 0;
  log->session =
      LRPC2Open(log->socket_path, log->msg_types, log->connect_timeout, log->connect_timeout, &status);
  if (log->session != nullptr) return 0;
  pid_t peer_pid = 0;
  uid_t peer_uid = 0;
  const int refused = LRPC2RefusedPeer(&peer_pid, &peer_uid);
  ConfigureEmergencyLog(log);
  SELF_REPORT(log, LOG_LEVEL_DEBUG, "ConnectAndSend",
              "Failed to open logging connection to vxagent through '%s': %s", Text(log->socket_path),
              Text(LRPC2Err2Str(status)));
  if (refused != 0)
    SELF_REPORT(log, LOG_LEVEL_DEBUG, "ConnectAndSend", "Refused peer at '%s': uid %u, pid %d",
                Text(log->socket_path), static_cast<unsigned>(peer_uid), static_cast<int>(peer_pid));
  ReplayPending(log);
  return status;
}

uint32_t SendPending(ClientLog *log) {
  // A message that cannot take its end record or be completed is broken:
  // the transaction refuses it (406) before anything is written.
  if (AddRecord(log->pending, 0, nullptr, 0, 0, nullptr, 0, nullptr, nullptr) == 0) MsgComplete(log->pending);
  uint32_t status = 0;
  MsgFree(LRPC2Transact(log->session, log->pending, log->operation_timeout, &status));
  if (status != 0) {
    LRPC2Close(log->session);
    log->session = nullptr;
    ConfigureEmergencyLog(log);
    SELF_REPORT(log, LOG_LEVEL_WARNING, "ConnectAndSend", "Failed to send log message: %s",
                Text(LRPC2Err2Str(status)));
    ReplayToEmergencyLog(log, log->pending);
  }
  return status;
}

EmergencyLog *OpenDestination(ClientLog *log, OpenFailure *failure, uint32_t *status) {
  const char *dest = log->destination;
  if (dest == nullptr) return OpenDiscardLog(status);
  if (strcmp(dest, kSyslogDestination) == 0) {
    EmergencyLog *user = OpenSyslogLog(log->process_name, LOG_USER, status);
    if (user == nullptr) *failure = OpenFailure::kFacility;
    return user;
  }
  if (strncmp(dest, kFilePrefix, kFilePrefixLength) == 0) {
    EmergencyLog *file = OpenFileLog(log->process_name, dest + kFilePrefixLength, status);
    if (file == nullptr) *failure = OpenFailure::kFile;
    return file;
  }
  const Facility *facility = FindFacility(dest);
  if (facility == nullptr) {
    *failure = OpenFailure::kFacilityName;
    return nullptr;
  }
  EmergencyLog *sys = OpenSyslogLog(log->process_name, facility->value, status);
  if (sys == nullptr) *failure = OpenFailure::kFacility;
  return sys;
}

}  // namespace

ClientLog *NewClientLog(const char *process_name, const char *destination, uint32_t threshold,
                        const char *socket_path, uint32_t connect_timeout, uint32_t operation_timeout,
                        const MsgTypeTable *msg_types, uint32_t *status) {
  auto *log = static_cast<ClientLog *>(calloc(1, sizeof(ClientLog)));
  if (log == nullptr || !CopyString(process_name, &log->process_name) ||
      !CopyString(destination, &log->destination) || !CopyString(socket_path, &log->socket_path)) {
    FreeClientLog(log);
    SetStatus(status, CLIENT_LOG_ERR_NOMEM);
    return nullptr;
  }
  log->threshold = threshold;
  log->connect_timeout = connect_timeout;
  log->operation_timeout = operation_timeout;
  log->msg_types = msg_types;
  SetStatus(status, 0);
  return log;
}

void FreeClientLog(ClientLog *log) {
  if (log == nullptr) return;
  LRPC2Close(log->session);
  CloseEmergencyLog(log->emergency);
  MsgFree(log->pending);
  free(log->process_name);
  free(log->destination);
  free(log->socket_path);
  free(log);
}

int ClientLogEnabled(const ClientLog *log, int32_t level) {
  return log != nullptr && static_cast<int64_t>(log->threshold) <= level;
}

uint32_t ClientLogWrite(ClientLog *log, int32_t level, const char *file, int32_t line, const char *function,
                        const char *format, ...) {
  if (!ClientLogEnabled(log, level) || format == nullptr) return 0;
  char text[CLIENT_LOG_TEXT_SIZE];
  va_list args;
  va_start(args, format);
  (void)vsnprintf(text, sizeof text, format, args);  // a longer text is cut
  va_end(args);
  if (log->emergency != nullptr) return EmergencyLogWrite(log->emergency, level, "%s", text);
  uint32_t status = Gather(log, level, file, line, function, text);
  if (status != 0) return status;
  return log->send_now ? ConnectAndSend(log) : 0;
}

uint32_t ClientLogStartSending(ClientLog *log) {
  if (log == nullptr) return 0;
  log->send_now = 1;
  return log->pending != nullptr ? ConnectAndSend(log) : 0;
}

uint32_t ConnectAndSend(ClientLog *log) {
  if (log == nullptr) return 0;
  if (log->session == nullptr) {
    uint32_t status = OpenSession(log);
    if (status != 0) return status;
  }
  uint32_t status = log->pending != nullptr ? SendPending(log) : 0;
  MsgFree(log->pending);
  log->pending = nullptr;
  return status;
}

void ConfigureEmergencyLog(ClientLog *log) {
  if (log == nullptr || log->emergency != nullptr) return;
  OpenFailure failure = OpenFailure::kNone;
  uint32_t status = 0;
  log->emergency = OpenDestination(log, &failure, &status);
  if (log->emergency == nullptr) log->emergency = OpenDiscardLog(nullptr);
  const char *dest = Text(log->destination);
  switch (failure) {
    case OpenFailure::kNone:
      break;
    case OpenFailure::kFile:
      SELF_REPORT(log, LOG_LEVEL_DEBUG, __func__, "Failed to open file log '%s': %s",
                  dest + kFilePrefixLength, Text(EmergencyLogErr2Str(status)));
      break;
    case OpenFailure::kFacility:
      SELF_REPORT(log, LOG_LEVEL_ERROR, __func__, "Failed to open syslog facility '%s': %s", dest,
                  Text(EmergencyLogErr2Str(status)));
      break;
    case OpenFailure::kFacilityName:
      SELF_REPORT(log, LOG_LEVEL_ERROR, __func__,
                  "Illegal value for log destination '%s': Illegal syslog facility name", dest);
      break;
  }
  EmergencyLogSetLevel(log->emergency, log->threshold);
}

uint32_t ReplayToEmergencyLog(ClientLog *log, Msg *message) {
  if (log == nullptr) return 0;
  ConfigureEmergencyLog(log);
  if (message == nullptr) return 0;
  uint32_t status = 0;
  while (status == 0) {
    char *raw[4] = {nullptr, nullptr, nullptr, nullptr};  // process, file, function, text
    int32_t level = 0;
    status = MsgGetUInt(message, nullptr);
    if (status == 0) status = MsgGetString(message, &raw[0]);
    if (status == 0) status = MsgGetInt(message, nullptr);
    if (status == 0) status = MsgGetInt(message, &level);
    if (status == 0) status = MsgGetString(message, &raw[1]);
    if (status == 0) status = MsgGetInt(message, nullptr);
    if (status == 0) status = MsgGetString(message, &raw[2]);
    if (status == 0) status = MsgGetString(message, &raw[3]);
    if (status == 0 && raw[3] != nullptr) EmergencyLogWrite(log->emergency, level, "%s", raw[3]);
    for (char *s : raw) free(s);
  }
  return status == MSG_ERR_END ? 0 : status;
}
