#include "client_common/client_context.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <memory>

#include "client_common/client_props.h"
#include "client_common/client_unlisted.h"
#include "client_common/msg.h"
#include "util/scope.h"

namespace {

constexpr const char *kSource = "client_context";
constexpr const char *kProcStat = "/proc/self/stat";
constexpr const char *kUnknownProcess = "unknown";
// Level name used when the caller gives no default.
constexpr const char *kFallbackLevelName = "INFO";

struct LevelRow {
  const char *name;
  uint32_t level;
};

// Level names, matched without regard to case; any other name is INFO.
constexpr LevelRow kLevels[] = {
    {"TRACE", LOG_LEVEL_TRACE},  {"DEBUG", LOG_LEVEL_DEBUG},     {"INFO", LOG_LEVEL_INFO},
    {"WARN", LOG_LEVEL_WARNING}, {"WARNING", LOG_LEVEL_WARNING}, {"ERROR", LOG_LEVEL_ERROR},
};

using CString = vx::FreePtr<char>;

uint32_t LevelFromName(const char *name) {
  if (name == nullptr) return LOG_LEVEL_INFO;
  for (const LevelRow &row : kLevels) {
    if (strcasecmp(row.name, name) == 0) return row.level;
  }
  return LOG_LEVEL_INFO;
}

// The level name under `key`, else under each shorter dotted prefix of it,
// else `default_name`. The result is borrowed from the configuration set or
// is `default_name`.
const char *FindLevelName(ClientContext *context, const char *key, const char *default_name) {
  CString copy(key != nullptr ? strdup(key) : nullptr);
  if (copy == nullptr) return default_name;
  for (;;) {
    const char *name = ClientGetProperty(context, copy.get(), nullptr);
    if (name != nullptr) return name;
    char *dot = strrchr(copy.get(), '.');
    if (dot == nullptr) return default_name;
    *dot = '\0';
  }
}

// A time-out read from the configuration; a negative one becomes the
// default, and `negative` keeps the value read so that it can be reported
// once the client log exists. A value that cannot be read at all is the
// default too: ClientGetPropertyTime would give 0 for it, which the
// transport takes as no limit. (The client log does not exist yet, so the
// accessor would neither trace nor report the read.)
uint32_t ReadTimeout(const ClientContext *context, const char *key, int32_t default_seconds,
                     int32_t *negative) {
  uint32_t status = 0;
  auto value = static_cast<int32_t>(
      GetPropertyTime(context->properties, key, 's', static_cast<uint32_t>(default_seconds), &status));
  if (status != 0) value = default_seconds;
  *negative = value;
  return static_cast<uint32_t>(value < 0 ? default_seconds : value);
}

void ReportNegative(ClientContext *context, const char *key, int32_t value, int32_t used) {
  if (value >= 0) return;
  if (!ClientLogEnabled(context->log, LOG_LEVEL_DEBUG)) return;
  ClientLogWrite(context->log, LOG_LEVEL_DEBUG, kSource, __LINE__, "InitClientContext",
                 "Illegal value for property %s: %d -- value must be non-negative. Using %d", key, value,
                 used);
}

// The process name in the text of /proc/self/stat: after the first "(" up to
// the next ")" or the end, at most CLIENT_PROCESS_NAME_MAX characters.
size_t ExtractName(const char *stat, size_t length, char *name) {
  const char *open = static_cast<const char *>(memchr(stat, '(', length));
  if (open == nullptr) return 0;
  const char *begin = open + 1;
  size_t rest = length - static_cast<size_t>(begin - stat);
  const char *close = static_cast<const char *>(memchr(begin, ')', rest));
  size_t n = close != nullptr ? static_cast<size_t>(close - begin) : rest;
  if (n > CLIENT_PROCESS_NAME_MAX) n = CLIENT_PROCESS_NAME_MAX;
  memcpy(name, begin, n);
  name[n] = '\0';
  return n;
}

size_t ReadProcessName(char *name) {
  name[0] = '\0';
  int fd = open(kProcStat, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char stat[CLIENT_PROC_STAT_MAX];
  ssize_t n;
  do {
    n = read(fd, stat, sizeof stat);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n > 0 ? ExtractName(stat, static_cast<size_t>(n), name) : 0;
}

}  // namespace

void InitClientContext(ClientContext *context, Properties *properties, const char *const *load_prefixes,
                       const char *log_dest_key, const char *default_log_dest, const char *log_level_key,
                       const char *default_level) {
  if (context == nullptr) return;
  memset(context, 0, sizeof *context);
  uint32_t status = 0;
  context->properties =
      properties != nullptr ? properties : LoadProperties(CLIENT_CONF_PATH, load_prefixes, &status);
  // Without a configuration set every read below gives its default.
  const char *dest = ClientGetProperty(context, log_dest_key, default_log_dest);
  const char *level_name =
      FindLevelName(context, log_level_key, default_level != nullptr ? default_level : kFallbackLevelName);
  uint32_t level = LevelFromName(level_name);
  const char *socket = ClientGetProperty(context, CLIENT_SOCKET_KEY, CLIENT_DEFAULT_SOCKET);
  if (socket == nullptr) socket = CLIENT_DEFAULT_SOCKET;
  int32_t op_read = 0, connect_read = 0;
  context->operation_timeout = ReadTimeout(context, CLIENT_TIMEOUT_KEY, CLIENT_DEFAULT_TIMEOUT, &op_read);
  context->connect_timeout =
      ReadTimeout(context, CLIENT_CONNECT_TIMEOUT_KEY, CLIENT_DEFAULT_CONNECT_TIMEOUT, &connect_read);
  context->msg_types = GetMsgTypeTable();
  context->log = NewClientLog(GetProcessName(context), dest, level, socket, context->connect_timeout,
                              context->operation_timeout, context->msg_types, nullptr);
  ReportNegative(context, CLIENT_TIMEOUT_KEY, op_read, CLIENT_DEFAULT_TIMEOUT);
  ReportNegative(context, CLIENT_CONNECT_TIMEOUT_KEY, connect_read, CLIENT_DEFAULT_CONNECT_TIMEOUT);
}

int EnableLogForwarding(ClientContext *context) {
  if (context != nullptr) ClientLogStartSending(context->log);
  return 1;
}

int OpenLRPC2Session(ClientContext *context) {
  if (context == nullptr) return 0;
  if (context->session != nullptr) return 1;
  const char *path = ClientGetProperty(context, CLIENT_SOCKET_KEY, CLIENT_DEFAULT_SOCKET);
  if (path == nullptr) path = CLIENT_DEFAULT_SOCKET;
  uint32_t status = 0;
  context->session =
      LRPC2Open(path, context->msg_types, context->connect_timeout, context->connect_timeout, &status);
  if (context->session != nullptr) return 1;
  int saved_errno = errno;
  pid_t peer_pid = 0;
  uid_t peer_uid = 0;
  const int refused = LRPC2RefusedPeer(&peer_pid, &peer_uid);  // before logging opens another session
  const char *reason = LRPC2Err2Str(status);
  CLIENT_LOG(context->log, LOG_LEVEL_DEBUG, kSource,
             "Failed to open connection to vxagent through '%s' %s (%s)", path,
             reason != nullptr ? reason : "(null)", strerror(saved_errno));
  if (refused != 0)
    CLIENT_LOG(context->log, LOG_LEVEL_DEBUG, kSource, "Refused peer at '%s': uid %u, pid %d", path,
               static_cast<unsigned>(peer_uid), static_cast<int>(peer_pid));
  return 0;
}

void FreeClientMessages(ClientContext *context) {
  if (context == nullptr) return;
  CleanupListRun(context->messages);
  context->messages = nullptr;
  vx_client::ReleaseUnlisted(context);
}

uint32_t FreeClientContext(ClientContext *context) {
  if (context == nullptr) return 0;
  LRPC2Close(context->session);
  context->session = nullptr;
  FreeProperties(context->properties);
  context->properties = nullptr;
  FreeClientMessages(context);
  free(context->process_name);
  context->process_name = nullptr;
  uint32_t status = 0;
  ClientLog *log = context->log;
  if (log != nullptr && log->pending != nullptr) {
    MsgComplete(log->pending);
    status = ReplayToEmergencyLog(log, log->pending);
  }
  FreeClientLog(log);
  context->log = nullptr;
  return status;
}

const char *GetProcessName(ClientContext *context) {
  if (context == nullptr) return nullptr;
  if (context->process_name != nullptr) return context->process_name;
  char name[CLIENT_PROCESS_NAME_MAX + 1];
  size_t n = ReadProcessName(name);
  context->process_name = strdup(n > 0 ? name : kUnknownProcess);
  return context->process_name;
}
