/* Client context: everything a client program needs to talk to the agent.
 *
 * A ClientContext holds the loaded configuration, the client log, the
 * time-outs, the message type table, the session to the agent and the list
 * of messages to release at the end. The program embeds the record in its
 * own state; the context allocates nothing for the record itself.
 *
 * Calling order: InitClientContext, EnableLogForwarding, OpenLRPC2Session,
 * requests through client_msg.h, FreeClientContext. One thread only.
 */
#ifndef VX_CLIENT_COMMON_CLIENT_CONTEXT_H
#define VX_CLIENT_COMMON_CLIENT_CONTEXT_H

#include <stdint.h>

#include "client_common/cleanup_list.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"
#include "client_common/msg_types.h"
#include "props/props.h"
#include "util/vx_api.h"

VX_BEGIN_DECLS

/* The suite's configuration file. */
#define CLIENT_CONF_PATH VX_CONF_PATH
/* Emergency log destination a command passes by default. */
#define CLIENT_DEFAULT_EMERGENCY_LOG "file " VX_EMERGENCY_LOG_PATH

/* Configuration keys and their defaults. */
#define CLIENT_SOCKET_KEY "vxagent.clients.socket2"
#define CLIENT_DEFAULT_SOCKET "/var/vorlex/daemon2"
#define CLIENT_TIMEOUT_KEY "lrpc.timeout"
#define CLIENT_DEFAULT_TIMEOUT 300
#define CLIENT_CONNECT_TIMEOUT_KEY "lrpc.connect.timeout"
#define CLIENT_DEFAULT_CONNECT_TIMEOUT 5

/* GetProcessName reads at most this many bytes of /proc/self/stat and keeps
 * at most CLIENT_PROCESS_NAME_MAX characters of the name. */
#define CLIENT_PROC_STAT_MAX 4095
#define CLIENT_PROCESS_NAME_MAX 63

/* Exactly these eight fields, in this order (56 bytes on x86-64): callers
 * lay the record out themselves. Messages the release list cannot take are
 * kept outside the record (see client_msg.h). */
typedef struct ClientContext {
  Properties *properties;     /* owned; null when no file could be loaded */
  ClientLog *log;             /* owned */
  char *process_name;         /* owned, filled by GetProcessName */
  uint32_t connect_timeout;   /* seconds, connect and handshake */
  uint32_t operation_timeout; /* seconds, every read and write of a transaction */
  const MsgTypeTable *msg_types;
  LRPC2Session *session; /* owned; null until OpenLRPC2Session succeeds, and
                            again once a transport failure closed it */
  CleanupList *messages; /* owned; created on the first registration */
} ClientContext;

/* Fills `context` (its previous content is ignored) from the configuration:
 * `properties` when not null (the context takes ownership and frees it in
 * FreeClientContext), otherwise the set loaded from CLIENT_CONF_PATH with
 * `load_prefixes` (see LoadProperties). A file that cannot be loaded is not
 * an error: every setting then takes its default.
 *  - emergency log destination: the value of `log_dest_key`, default
 *    `default_log_dest` (see log_buffer.h for its forms);
 *  - log level: the value of `log_level_key`, else of each shorter dotted
 *    prefix of it ("log.x" then "log"), else `default_level` (null counts as
 *    "INFO"); names TRACE, DEBUG, INFO, WARN, WARNING, ERROR in any case,
 *    anything else is INFO;
 *  - socket path, operation and connect time-outs from the keys above;
 *    negative time-outs are replaced by their defaults and reported at DEBUG
 *    in the new client log; a time-out whose value cannot be read at all
 *    (an include file that is missing or refused, say) takes its default
 *    silently, never 0; an explicit 0 keeps its meaning: no limit.
 * The client log is created gathering; see EnableLogForwarding. */
VX_API void InitClientContext(ClientContext *context, Properties *properties,
                              const char *const *load_prefixes, const char *log_dest_key,
                              const char *default_log_dest, const char *log_level_key,
                              const char *default_level);

/* Sends the log records gathered so far to the agent and every later one at
 * once (ClientLogStartSending). Always 1. */
VX_API int EnableLogForwarding(ClientContext *context);

/* Opens the session to the agent's client socket, with the connect time-out
 * for connecting and for the handshake. 1 when open (kept in the context),
 * 0 otherwise (logged at DEBUG with the reason). With a session already open
 * it returns 1 at once; after Send closed a failed session it opens a new
 * one. */
VX_API int OpenLRPC2Session(ClientContext *context);

/* Releases every message registered with the context so far (newest first),
 * those the release list could not take included, and drops the list; the
 * next registration starts a new one. */
VX_API void FreeClientMessages(ClientContext *context);

/* Releases everything the context holds: the session, the configuration,
 * the messages, the process name, and the client log, after writing any
 * records it never sent to its emergency log. Returns the status of that
 * replay (0 when nothing was pending). The context is not reused. */
VX_API uint32_t FreeClientContext(ClientContext *context);

/* Name of the running process from /proc/self/stat ("unknown" when it cannot
 * be read), owned by the context; null only on exhausted memory. */
VX_API const char *GetProcessName(ClientContext *context);

VX_END_DECLS

#endif
