#include "client_common/emergency_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "client_common/log_buffer.h"
#include "util/control_escape.h"
#include "util/scope.h"
#include "util/secure_open.h"
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
// Room for "[<pid>] ".
constexpr size_t kPidSize = 16;

// Syslog priority of each level, indexed like LEVEL_NAMES.
constexpr int kLevelPriority[LOG_LEVEL_COUNT] = {LOG_DEBUG,   LOG_DEBUG, LOG_INFO,
                                                 LOG_WARNING, LOG_ERR,   LOG_EMERG};

constexpr vx::StatusText kErrTexts[] = {
    {ELOG_ERR_NOT_ABSOLUTE, "An absolute pathname was not given"},
    {ELOG_ERR_NOMEM, "Out of memory"},
    {ELOG_ERR_ERRNO, "Refer to errno for details"},
};

// The file log's file is opened without following a link, without waiting
// on a FIFO or device (non-blocking until it has passed the checks), and
// never created.
constexpr int kFileLogFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// The errno that tells why an opened file is refused, by the secure
// opener's status of the check it failed.
struct Refusal {
  uint32_t check;
  int err;
};
constexpr Refusal kRefusals[] = {
    {SOPEN_NOT_REGULAR, EINVAL},
    {SOPEN_HARDLINKS, EMLINK},
    {SOPEN_WORLD_WRITE, EPERM},
    {SOPEN_BAD_OWNER, EPERM},
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

// 0 when the opened file may take the log's records, else the errno that
// says why not.
int RefusalOf(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno;
  const uint32_t check =
      S_ISREG(st.st_mode) ? SecureOpenCheckAttributes(&st, 0) : uint32_t{SOPEN_NOT_REGULAR};
  for (const Refusal &row : kRefusals) {
    if (row.check == check) return row.err;
  }
  return 0;
}

// The descriptor of a file that passed the checks, blocking again, or -1
// with errno.
int OpenCheckedFile(const char *path) {
  const int fd = open(path, kFileLogFlags);
  if (fd < 0) return -1;
  int err = RefusalOf(fd);
  // Setting the status flags to appending alone clears O_NONBLOCK.
  if (err == 0 && fcntl(fd, F_SETFL, O_APPEND) != 0) err = errno;
  if (err == 0) return fd;
  close(fd);
  errno = err;
  return -1;
}

// A record's bytes in a fixed buffer, control bytes escaped. A piece that
// does not fit is cut before the first byte whose rendering does not fit,
// and nothing is added after a cut piece, so the record keeps its order and
// never ends inside an escape.
class Record {
 public:
  Record(char *out, size_t room) : out_(out), room_(room) {}
  // Adds `text`, at most `max` characters of it once escaped.
  void Put(const char *text, size_t max = SIZE_MAX) {
    if (full_) return;
    const size_t length = strlen(text);
    const size_t left = room_ - used_;
    size_t taken = 0;
    used_ += vx::EscapeControls(text, length, out_ + used_, left < max ? left : max, &taken);
    if (taken < length) full_ = true;
  }
  size_t used() const { return used_; }

 private:
  char *out_;
  size_t room_, used_ = 0;
  bool full_ = false;
};

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
  char pid[kPidSize];
  (void)snprintf(pid, sizeof pid, "[%d] ", static_cast<int>(getpid()));
  // The line feed always fits after the cut, so the next record starts on
  // a line of its own.
  char line[EMERGENCY_LOG_LINE_MAX];
  Record record(line, sizeof line - 1);
  record.Put(stamp);
  record.Put(" ");
  record.Put(log->ident != nullptr ? log->ident : kNoIdent);
  record.Put(pid);
  record.Put(LevelName(level));
  record.Put(": ");
  record.Put(text, EMERGENCY_LOG_TEXT_MAX);
  size_t length = record.used();
  line[length++] = '\n';
  return WriteAll(log->handle, line, length);
}

void WriteSyslogLine(int32_t level, const char *format, va_list args) {
  char text[CLIENT_LOG_TEXT_SIZE];
  (void)vsnprintf(text, sizeof text, format, args);  // a longer text is cut
  char line[EMERGENCY_LOG_SYSLOG_MAX + 1];
  Record record(line, EMERGENCY_LOG_SYSLOG_MAX);
  record.Put(LevelName(level));
  record.Put(": ");
  record.Put(text);
  line[record.used()] = '\0';
  syslog(LevelPriority(level), "%s", line);
}

}  // namespace

EmergencyLog *OpenFileLog(const char *ident, const char *path, uint32_t *status) {
  if (path == nullptr || path[0] != '/') {
    SetStatus(status, ELOG_ERR_NOT_ABSOLUTE);
    return nullptr;
  }
  const int fd = OpenCheckedFile(path);
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
