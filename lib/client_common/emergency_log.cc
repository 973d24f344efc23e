#include "client_common/emergency_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "client_common/log_buffer.h"
#include "util/scope.h"
#include "util/status_text.h"

namespace {

// Ident written in file lines when the log has none (the system's own text).
constexpr const char *kNoIdent = "unkown";
// Level name and syslog priority of levels outside TRACE..FATAL.
constexpr const char *kOtherLevelName = "INFO";
constexpr int kOtherLevelPriority = LOG_INFO;
// strftime format of the time stamp of a file line, and room for it.
constexpr const char *kTimeFormat = "%b %d %T";
constexpr size_t kTimeSize = 64;

// Syslog priority of each level, indexed like LEVEL_NAMES.
constexpr int kLevelPriority[LOG_LEVEL_COUNT] = {LOG_DEBUG,   LOG_DEBUG, LOG_INFO,
                                                 LOG_WARNING, LOG_ERR,   LOG_EMERG};

constexpr vx::StatusText kErrTexts[] = {
    {ELOG_ERR_NOT_ABSOLUTE, "An absolute pathname was not given"},
    {ELOG_ERR_NOMEM, "Out of memory"},
    {ELOG_ERR_ERRNO, "Refer to errno for details"},
};

using vx::SetStatus;

bool KnownLevel(int32_t level) { return level >= 0 && level < LOG_LEVEL_COUNT; }

const char *LevelName(int32_t level) { return KnownLevel(level) ? LEVEL_NAMES[level] : kOtherLevelName; }

int LevelPriority(int32_t level) { return KnownLevel(level) ? kLevelPriority[level] : kOtherLevelPriority; }

// A new record of `kind` with a copy of `ident` (null stays null).
EmergencyLog *NewLog(const char *ident, uint32_t kind, int32_t handle, uint32_t *status) {
  auto *log = static_cast<EmergencyLog *>(calloc(1, sizeof(EmergencyLog)));
  char *copy = ident != nullptr ? strdup(ident) : nullptr;
  if (log == nullptr || (ident != nullptr && copy == nullptr)) {
    free(log);
    free(copy);
    SetStatus(status, ELOG_ERR_NOMEM);
    return nullptr;
  }
  log->ident = copy;
  log->kind = kind;
  log->threshold = EMERGENCY_LOG_DEFAULT_THRESHOLD;
  log->handle = handle;
  SetStatus(status, ELOG_OK);
  return log;
}

uint32_t WriteAll(int fd, const char *data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ELOG_ERR_ERRNO;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return ELOG_OK;
}

uint32_t WriteFileLine(const EmergencyLog *log, int32_t level, const char *format, va_list args) {
  char text[EMERGENCY_LOG_TEXT_MAX + 1];
  (void)vsnprintf(text, sizeof text, format, args);  // a longer text is cut
  char stamp[kTimeSize] = "";
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) (void)strftime(stamp, sizeof stamp, kTimeFormat, &local);
  char line[EMERGENCY_LOG_LINE_MAX + 1];
  int n =
      snprintf(line, sizeof line, "%s %s[%d] %s: %s\n", stamp, log->ident != nullptr ? log->ident : kNoIdent,
               static_cast<int>(getpid()), LevelName(level), text);
  if (n < 0) return ELOG_ERR_ERRNO;
  size_t length = static_cast<size_t>(n);
  if (length > EMERGENCY_LOG_LINE_MAX) {
    // A cut line still ends its line, so the next record starts on its own.
    length = EMERGENCY_LOG_LINE_MAX;
    line[length - 1] = '\n';
  }
  return WriteAll(log->handle, line, length);
}

void WriteSyslogLine(int32_t level, const char *format, va_list args) {
  char text[CLIENT_LOG_TEXT_SIZE];
  (void)vsnprintf(text, sizeof text, format, args);  // a longer text is cut
  char line[EMERGENCY_LOG_SYSLOG_MAX + 1];
  // The record is cut to the line's room on purpose.
  if (snprintf(line, sizeof line, "%s: %s", LevelName(level), text) < 0) return;
  syslog(LevelPriority(level), "%s", line);
}

}  // namespace

EmergencyLog *OpenFileLog(const char *ident, const char *path, uint32_t *status) {
  if (path == nullptr || path[0] != '/') {
    SetStatus(status, ELOG_ERR_NOT_ABSOLUTE);
    return nullptr;
  }
  int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    SetStatus(status, ELOG_ERR_ERRNO);
    return nullptr;
  }
  EmergencyLog *log = NewLog(ident, EMERGENCY_LOG_FILE, fd, status);
  if (log == nullptr) close(fd);
  return log;
}

EmergencyLog *OpenSyslogLog(const char *ident, int32_t facility, uint32_t *status) {
  EmergencyLog *log = NewLog(ident, EMERGENCY_LOG_SYSLOG, 0, status);
  if (log == nullptr) return nullptr;
  // openlog keeps the pointer: the record's own copy lives until closelog.
  openlog(log->ident, LOG_PID | LOG_ODELAY, facility);
  log->handle = 1;
  return log;
}

EmergencyLog *OpenDiscardLog(uint32_t *status) { return NewLog(nullptr, EMERGENCY_LOG_DISCARD, 0, status); }

uint32_t EmergencyLogSetLevel(EmergencyLog *log, uint32_t level) {
  if (log == nullptr) return EMERGENCY_LOG_DEFAULT_THRESHOLD;
  uint32_t previous = log->threshold;
  if (level <= EMERGENCY_LOG_MAX_LEVEL) log->threshold = level;
  return previous;
}

uint32_t EmergencyLogWrite(EmergencyLog *log, int32_t level, const char *format, ...) {
  if (log == nullptr || format == nullptr) return ELOG_OK;
  if (static_cast<int64_t>(log->threshold) > level) return ELOG_OK;
  uint32_t status = ELOG_OK;
  va_list args;
  va_start(args, format);
  if (log->kind == EMERGENCY_LOG_FILE && log->handle != -1) {
    status = WriteFileLine(log, level, format, args);
  } else if (log->kind == EMERGENCY_LOG_SYSLOG) {
    WriteSyslogLine(level, format, args);
  }
  va_end(args);
  return status;
}

void CloseEmergencyLog(EmergencyLog *log) {
  if (log == nullptr) return;
  if (log->kind == EMERGENCY_LOG_FILE && log->handle >= 0) {
    close(log->handle);
    log->handle = -1;
  } else if (log->kind == EMERGENCY_LOG_SYSLOG && log->handle == 1) {
    closelog();
  }
  free(log->ident);
  free(log);
}

const char *EmergencyLogErr2Str(uint32_t status) { return vx::FindStatusText(kErrTexts, status); }
