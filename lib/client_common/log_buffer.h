/* Client log: forwards a client program's log records to the agent.
 *
 * Records are gathered into one ControlLog2 message (type 107) while the
 * program starts up. ClientLogStartSending sends what was gathered and from
 * then on every record is sent at once, over a session of the log's own that
 * is opened on the first send and kept open.
 *
 * The first failure to open that session or to send switches the log, for
 * the rest of its life, to an emergency log (emergency_log.h) chosen by the
 * destination given at creation:
 *   null                      a discard log
 *   "syslog"                  syslog, facility user
 *   "file <absolute path>"    that file (a discard log if it cannot be opened)
 *   a facility name           syslog with that facility ("auth", "local3",
 *                             ...; exact, case-sensitive)
 *   anything else             a discard log
 * Whatever was gathered at the moment of the switch is replayed into the
 * emergency log, so no gathered record is lost; later records go straight
 * there and the agent is not tried again.
 *
 * A ControlLog2 message is a sequence of records of eight fields
 *   MDT_UINT time, MDT_STRING process, MDT_INT pid, MDT_INT level,
 *   MDT_STRING file, MDT_INT line, MDT_STRING function, MDT_STRING text
 * followed by an end record of the same eight fields holding 0 and null
 * strings, appended just before the message is sent. The agent's reply is
 * discarded.
 *
 * One thread only; no locks.
 */
#ifndef VX_CLIENT_COMMON_LOG_BUFFER_H
#define VX_CLIENT_COMMON_LOG_BUFFER_H

#include <stdint.h>

#include "client_common/emergency_log.h"
#include "client_common/lrpc2.h"
#include "client_common/msg.h"
#include "client_common/msg_types.h"
#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Log levels, shared with the emergency log. */
#define LOG_LEVEL_TRACE 0
#define LOG_LEVEL_DEBUG 1
#define LOG_LEVEL_INFO 2
#define LOG_LEVEL_WARNING 3
#define LOG_LEVEL_ERROR 4
#define LOG_LEVEL_FATAL 5
#define LOG_LEVEL_COUNT 6

/* Names of the levels, indexed by level: "TRACE" .. "FATAL". */
VX_API extern const char *const LEVEL_NAMES[LOG_LEVEL_COUNT];

/* A record's text is formatted into this many bytes (at most 510
 * characters). */
#define CLIENT_LOG_TEXT_SIZE 511

/* Fields of one record in a ControlLog2 message. */
#define CLIENT_LOG_RECORD_FIELDS 8

/* ClientLogWrite: the record could not be added to the pending message. */
#define CLIENT_LOG_ERR_GATHER 1u
/* NewClientLog: exhausted memory. */
#define CLIENT_LOG_ERR_NOMEM 2u

typedef struct ClientLog {
  char *process_name;         /* owned; sent with every record, emergency ident */
  char *destination;          /* owned or null; emergency log destination */
  uint32_t threshold;         /* lowest level written */
  char *socket_path;          /* owned; the agent's client socket */
  uint32_t connect_timeout;   /* seconds, connect and handshake of the log session */
  uint32_t operation_timeout; /* seconds, sending one log message */
  Msg *pending;               /* ControlLog2 message gathering unsent records */
  const MsgTypeTable *msg_types;
  LRPC2Session *session;   /* the log's own session, once opened */
  int send_now;            /* set by ClientLogStartSending */
  EmergencyLog *emergency; /* once set, every record goes here */
} ClientLog;

/* Creates a gathering client log holding copies of the three strings (null
 * stays null). The caller releases it with FreeClientLog. Null with status
 * CLIENT_LOG_ERR_NOMEM on exhausted memory. */
VX_API ClientLog *NewClientLog(const char *process_name, const char *destination, uint32_t threshold,
                               const char *socket_path, uint32_t connect_timeout, uint32_t operation_timeout,
                               const MsgTypeTable *msg_types, uint32_t *status);

/* Closes the log's session and its emergency log and frees the pending
 * message (records still in it are dropped: see ReplayToEmergencyLog), the
 * strings and the record. Null is ignored. */
VX_API void FreeClientLog(ClientLog *log);

/* 1 when the log exists and admits `level`. Callers test it before
 * ClientLogWrite so that nothing is formatted for a disabled level. */
VX_API int ClientLogEnabled(const ClientLog *log, int32_t level);

/* Writes one record. `file` is the source module name, `line` and `function`
 * the place in it. Returns 0 when the record was gathered, sent or written
 * to the emergency log, or dropped by the level test; CLIENT_LOG_ERR_GATHER
 * when it could not be added to the pending message; otherwise the status of
 * ConnectAndSend (session statuses 400..418) or of the emergency log (102). */
VX_API uint32_t ClientLogWrite(ClientLog *log, int32_t level, const char *file, int32_t line,
                               const char *function, const char *format, ...)
    __attribute__((format(printf, 6, 7)));

/* Writes a record from the calling function when the log admits `level`, so
 * that nothing is formatted for a disabled level. `source` is the module
 * name the record carries. */
#define CLIENT_LOG(log, level, source, ...)                                            \
  do {                                                                                 \
    if (ClientLogEnabled((log), (level)))                                              \
      (void)ClientLogWrite((log), (level), (source), __LINE__, __func__, __VA_ARGS__); \
  } while (0)

/* Switches the log to sending every record at once, and sends the records
 * gathered so far in one message. Returns the status of ConnectAndSend, or 0
 * when nothing was pending (or for a null log). */
VX_API uint32_t ClientLogStartSending(ClientLog *log);

/* Sends the pending message, opening the log's session first when needed.
 * On failure switches to the emergency log and replays the message there.
 * Returns 0 or the session status (400..418); a message that cannot take
 * its end record (exhausted memory) is broken and fails with 406, its
 * records lost (a broken message cannot be read back). */
VX_API uint32_t ConnectAndSend(ClientLog *log);

/* Opens the emergency log named by the destination (see above) unless one is
 * set, and gives it the log's threshold. Failures degrade to a discard log
 * and are reported through the log itself. */
VX_API void ConfigureEmergencyLog(ClientLog *log);

/* Configures the emergency log and writes into it the text of every record
 * of `message`, a completed ControlLog2 message (null: nothing). The message
 * stays the caller's. Returns 0, or the message status that stopped the
 * reading (other than the end of the message). */
VX_API uint32_t ReplayToEmergencyLog(ClientLog *log, Msg *message);

VX_END_DECLS

#endif
