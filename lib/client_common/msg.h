/* LRPC2 messages.
 *
 * A message is a 16-bit type followed by typed fields and an end mark, in
 * one contiguous block that starts with `header size` bytes reserved for the
 * transport's frame header (LRPC_HEADER_SIZE, 8, in this system). All
 * integers are in host byte order.
 *
 *   [header][type:u16]{[tag:u8][payload]}*[MDT_END]
 *
 * Requests are built with NewMsg, one MsgAdd* per field and MsgComplete;
 * replies come from the transport (NewMsgFromBuffer after validation) and are
 * read with one MsgGet* per field, strictly in order. Whoever created or
 * received a message releases it with MsgFree; messages of sensitive types
 * are zeroed before their memory is freed.
 *
 * Every function returns a status (0 or a MSG_ERR_* code) or reports it
 * through an out-parameter; nothing is printed or logged here.
 */
#ifndef VX_CLIENT_COMMON_MSG_H
#define VX_CLIENT_COMMON_MSG_H

#include <stdint.h>

#include "client_common/msg_types.h"
#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Field tags. */
typedef enum MsgDataType {
  MDT_END = 0,
  MDT_BOOL = 1,      /* 1 byte, 0 or 1 */
  MDT_INT = 2,       /* signed 32-bit */
  MDT_UINT = 3,      /* unsigned 32-bit */
  MDT_STRING = 4,    /* counted item */
  MDT_PASSWORD = 5,  /* counted item, never rendered */
  MDT_BLOB = 6,      /* counted item of arbitrary bytes */
  MDT_STRINGSET = 7, /* u32 count N, then N counted items */
  MDT_KEYVALUES = 8  /* u32 count N, then N (key, value) counted items */
} MsgDataType;

#define MDT_LAST MDT_KEYVALUES

/* A counted item is a u32 length and that many bytes; this length marks a
 * null item with no bytes following. */
#define NULL_LENGTH 0xFFFFFFFFu

/* Message states, tested as bits. */
typedef enum MsgState {
  MSG_BUILDING = 16,
  MSG_BROKEN = 17, /* a building message whose last append failed */
  MSG_COMPLETE = 32
} MsgState;

/* Status codes of this layer; MsgErr2Str gives their texts. */
typedef enum MsgErr {
  MSG_OK = 0,
  MSG_ERR_NOMEM = 200,      /* "Out of memory" */
  MSG_ERR_UNEXPECTED = 201, /* "Unexpected data" */
  MSG_ERR_TYPE = 202,       /* "Incorrect data type" */
  MSG_ERR_END = 203,        /* "At end of message" */
  MSG_ERR_INCOMPLETE = 204, /* "Message not completed" */
  MSG_ERR_INVALID = 205     /* "Message invalid" */
} MsgErr;

typedef struct Msg Msg;

/* Creates a building message holding header_size zero bytes and the type.
 * Null with status 205 when the table is null or does not know the type,
 * 200 on exhausted memory. */
VX_API Msg *NewMsg(uint32_t type, const MsgTypeTable *table, uint32_t header_size, uint32_t *status);

/* Appends MDT_END and turns the message into a readable, complete message.
 * 205 when null or broken, 203 when not building, 200 on exhausted memory. */
VX_API uint32_t MsgComplete(Msg *msg);

/* Wraps a received block (header included) after validating its body.
 * Without `copy` the message takes ownership of `block` on success and frees
 * it on release; with it the block is copied. On failure the block stays the
 * caller's. Null with 205 (null block, length below header size, or a
 * body that fails validation) or 200. */
VX_API Msg *NewMsgFromBuffer(void *block, uint32_t length, int copy, const MsgTypeTable *table,
                             uint32_t header_size, uint32_t *status);

/* Releases the message; null is ignored. Sensitive messages are zeroed. */
VX_API void MsgFree(Msg *msg);

/* Text of a status code, or null for an unknown code. */
VX_API const char *MsgErr2Str(uint32_t status);

/* Queries. 205 unless the message is complete (MsgGetBuffer: 205 for null or
 * broken, 204 while building). */
VX_API uint32_t MsgGetType(const Msg *msg, uint32_t *type);
VX_API uint32_t MsgIsOneWay(const Msg *msg, uint32_t *oneway);
/* Pointer to the first byte of the block (header included); the message
 * keeps ownership. `status` may be null. */
VX_API unsigned char *MsgGetBuffer(const Msg *msg, uint32_t *length, uint32_t *status);

/* Appends: 205 for null or broken, 203 when complete, 200 on exhausted
 * memory. Any failure makes the message broken (only MsgFree helps). */
VX_API uint32_t MsgAddBool(Msg *msg, int value);
VX_API uint32_t MsgAddInt(Msg *msg, int32_t value);
VX_API uint32_t MsgAddUInt(Msg *msg, uint32_t value);
VX_API uint32_t MsgAddString(Msg *msg, const char *value); /* null -> NULL_LENGTH */

/* Reads, in field order: 205 unless complete, 203 at the end (or at the end
 * mark), 202 for a field of another kind (the cursor then does not move),
 * 200 on exhausted memory. Null out-locations skip the field. Strings are new
 * heap copies (null for a null item); the caller frees them. A string set is
 * a new array of N + 1 pointers ending with null (a null item is a null
 * pointer at its place); the caller frees each string and the array. */
VX_API uint32_t MsgGetBool(Msg *msg, uint32_t *value);
VX_API uint32_t MsgGetInt(Msg *msg, int32_t *value);
VX_API uint32_t MsgGetUInt(Msg *msg, uint32_t *value);
VX_API uint32_t MsgGetString(Msg *msg, char **value);
VX_API uint32_t MsgGetStringSet(Msg *msg, char ***value);

/* One-line text of the whole message for debug logs (see msg_types.h for the
 * format); new heap string, null only on exhausted memory. */
VX_API char *MsgDump(const Msg *msg);

VX_END_DECLS

#endif
