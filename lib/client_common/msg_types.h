/* The LRPC2 message type table.
 *
 * One constant table names every message type the agent knows, sorted by id,
 * and marks per type whether its messages are wiped before release
 * (MSGF_SENSITIVE) and whether a request gets no reply (MSGF_ONEWAY).
 * Lookups are binary searches; the table is never modified.
 */
#ifndef VX_CLIENT_COMMON_MSG_TYPES_H
#define VX_CLIENT_COMMON_MSG_TYPES_H

#include <stdint.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

#define MSGF_SENSITIVE 1u
#define MSGF_ONEWAY 4u
/* The value 2 also occurs in rows, always with MSGF_SENSITIVE (flags 3); this
 * client does not consult it. */

/* Message type ids this system builds or expects by name. */
enum {
  MSGTYPE_DISCONNECT = 0,
  MSGTYPE_AUTH_CHALLENGE2 = 3,       /* _ProcessAuthChallenge2 */
  MSGTYPE_CONTROL_LOG2 = 107,        /* ControlLog2 */
  MSGTYPE_GET_LOCAL_ACCT_MGMT = 111, /* ControlGetLocalAcctMgmtStatus */
  MSGTYPE_RELOAD_LOCAL_ACCT = 112,   /* ControlReloadLocalAccount */
  MSGTYPE_LIST_LOCAL_ACCT = 113,     /* ControlListLocalAccount */
  MSGTYPE_DUMP_LOCAL_ACCT = 114,     /* ControlDumpLocalAccount */
  MSGTYPE_GET_OBJECT_BY_NAME = 901,  /* VXAPIGetObjectByName */
  MSGTYPE_AUDIT_TRAIL_EVENT = 1200   /* ATProxySetAuditTrailEvent */
};

/* Field order is the table's published layout. */
typedef struct MsgTypeEntry { /* NOLINT(clang-analyzer-optin.performance.Padding) */
  uint32_t id;
  const char *name;
  uint32_t flags;
} MsgTypeEntry;

typedef struct MsgTypeTable {
  uint32_t count;
  const MsgTypeEntry *rows; /* sorted by ascending id, ids unique */
} MsgTypeTable;

/* The program's one constant table (128 rows); never null. */
VX_API const MsgTypeTable *GetMsgTypeTable(void);

/* The row's name, or null when no row has the id (or the table is null). */
VX_API const char *MsgTypeName(const MsgTypeTable *table, uint32_t id);
/* 1 when the row exists and has MSGF_SENSITIVE (MSGF_ONEWAY), else 0. */
VX_API int MsgTypeIsSensitive(const MsgTypeTable *table, uint32_t id);
VX_API int MsgTypeIsOneWay(const MsgTypeTable *table, uint32_t id);

VX_END_DECLS

#endif
