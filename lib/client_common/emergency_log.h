/* Emergency log: where client log records go once the agent is unreachable.
 *
 * Three kinds exist. A file log appends one line per record to an existing
 * file; a syslog log hands each record to syslog under a facility; a discard
 * log writes nothing (so that callers always have some log to write to).
 *
 * File line:   "<%b %d %T local time> <ident>[<pid>] <LEVEL>: <text>\n"
 * Syslog line: "<LEVEL>: <text>" at the level's syslog priority.
 *
 * One record is always one line: control bytes in the ident and the text
 * (the C0 controls except tab, and DEL) are written escaped, line feed as
 * "\n", carriage return as "\r", the others as "\x1b" and the like
 * (util/control_escape.h); a backslash stays as it is.
 *
 * A record is written when the log's threshold is less than or equal to its
 * level. Levels are those of log_buffer.h (0 TRACE .. 5 FATAL); levels
 * outside that range are shown as "INFO" and use syslog priority info.
 *
 * The caller owns the EmergencyLog and releases it with CloseEmergencyLog.
 * Nothing here prints; failures are reported as status codes.
 */
#ifndef VX_CLIENT_COMMON_EMERGENCY_LOG_H
#define VX_CLIENT_COMMON_EMERGENCY_LOG_H

#include <stdint.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Kinds of emergency log. */
#define EMERGENCY_LOG_FILE 0u
#define EMERGENCY_LOG_SYSLOG 1u
#define EMERGENCY_LOG_DISCARD 2u

/* Threshold of a newly opened log (INFO). */
#define EMERGENCY_LOG_DEFAULT_THRESHOLD 2u
/* Highest level a threshold can be set to (FATAL). */
#define EMERGENCY_LOG_MAX_LEVEL 5u

/* Bounds of a written record, counted in written characters, escapes
 * included (the bound on what reaches the file is what matters): the text
 * is cut at TEXT_MAX characters, a whole file line at LINE_MAX characters
 * (line feed included), the "LEVEL: text" of a syslog record at SYSLOG_MAX.
 * A cut never falls inside an escape: the escape that does not fit whole is
 * left out with everything after it. */
#define EMERGENCY_LOG_TEXT_MAX 509
#define EMERGENCY_LOG_LINE_MAX 1020
#define EMERGENCY_LOG_SYSLOG_MAX 510

/* Status codes; EmergencyLogErr2Str gives their texts. */
typedef enum EmergencyLogErr {
  ELOG_OK = 0,
  ELOG_ERR_NOT_ABSOLUTE = 100, /* "An absolute pathname was not given" */
  ELOG_ERR_NOMEM = 101,        /* "Out of memory" */
  ELOG_ERR_ERRNO = 102         /* "Refer to errno for details" */
} EmergencyLogErr;

typedef struct EmergencyLog {
  char *ident;        /* owned copy, or null; written with every record */
  uint32_t kind;      /* EMERGENCY_LOG_FILE, _SYSLOG or _DISCARD */
  uint32_t threshold; /* lowest level written */
  int32_t handle;     /* file: the descriptor (-1 once closed);
                         syslog: 1 once openlog was called */
} EmergencyLog;

/* Opens an existing file for appending (it is never created). `path` must be
 * absolute: null or relative gives 100; exhausted memory gives 101. Since
 * root writes to it, the file must be one that only root or a system
 * account could have put there, and opening it must not hang:
 *   - the path is opened with O_NOFOLLOW and O_NONBLOCK: a symbolic link is
 *     refused (ELOOP), a FIFO without a reader too (ENXIO), and nothing
 *     waits; O_NONBLOCK is cleared once the file has passed the checks;
 *   - fstat of the opened descriptor: a regular file (else EINVAL), exactly
 *     one link (else EMLINK), not writable by others and owned by root or a
 *     system account, by the secure opener's own rule (else EPERM).
 * A file that cannot be opened, fails a check or cannot be judged (fstat or
 * fcntl failing) gives 102 with errno telling why, and no descriptor is
 * left open: nothing is ever written to it. `ident` is copied (null stays
 * null and is written as "unkown"). Null on failure. */
VX_API EmergencyLog *OpenFileLog(const char *ident, const char *path, uint32_t *status);

/* Opens a syslog log: copies `ident` and calls openlog(ident, LOG_PID |
 * LOG_ODELAY, facility), where `facility` is a syslog facility code
 * (for example 152 for local3). Null with 101 on exhausted memory. */
VX_API EmergencyLog *OpenSyslogLog(const char *ident, int32_t facility, uint32_t *status);

/* Opens a log that writes nothing. Null with 101 on exhausted memory. */
VX_API EmergencyLog *OpenDiscardLog(uint32_t *status);

/* Sets the threshold and returns the previous one. A level above
 * EMERGENCY_LOG_MAX_LEVEL changes nothing (the current threshold is
 * returned); a null log gives EMERGENCY_LOG_DEFAULT_THRESHOLD. */
VX_API uint32_t EmergencyLogSetLevel(EmergencyLog *log, uint32_t level);

/* Writes one record when the threshold admits `level`. 0 when written,
 * filtered out or discarded (also for a null log); 102 when writing the file
 * failed (errno tells why). A file line cut at EMERGENCY_LOG_LINE_MAX
 * characters still ends in its line feed, so the next record starts a line. */
VX_API uint32_t EmergencyLogWrite(EmergencyLog *log, int32_t level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Closes the file (or calls closelog for a syslog log that opened it), frees
 * the ident and the record. Null is ignored. A file log's descriptor is
 * closed even when it is 0, since the log opened it and nothing else owns it. */
VX_API void CloseEmergencyLog(EmergencyLog *log);

/* Text of a status code, or null for an unknown code. */
VX_API const char *EmergencyLogErr2Str(uint32_t status);

VX_END_DECLS

#endif
