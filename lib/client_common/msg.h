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
 * the whole request, header room included, grows in one block, so the
 * transport fills in the header and sends the block without a copy. Replies
 * come from the transport (NewMsgFromBuffer after one validation pass) and
 * are read with one MsgGet* per field, strictly in order; every read still
 * checks its own bounds. Whoever created or received a message releases it
 * with MsgFree.
 *
 * Messages of sensitive types (MSGF_SENSITIVE) are zeroed before their
 * memory is freed, in every state; while such a message is built its bytes
 * are never moved by realloc (which would free an unwiped copy).
 *
 * Every function returns a status (0 or a MSG_ERR_* code) or reports it
 * through an out-parameter; nothing is printed or logged here.
 */
#ifndef VX_CLIENT_COMMON_MSG_H
#define VX_CLIENT_COMMON_MSG_H

#include <stddef.h>
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

/* Largest header size NewMsg accepts (this system uses 8). */
#define MSG_MAX_HEADER_SIZE 256u

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

/* Creates a building message holding header_size zero bytes and the type
 * (stored as 16 bits); flags come from the type's table row. Null with
 * status 205 when the table is null or does not know the type; 200 on
 * exhausted memory. A header size above MSG_MAX_HEADER_SIZE (256) is
 * refused with 205. `status` may be null. */
VX_API Msg *NewMsg(uint32_t type, const MsgTypeTable *table, uint32_t header_size, uint32_t *status);

/* Appends MDT_END and turns the message into a readable, complete message
 * whose block has exactly the written length; its cursor is at the first
 * field. 205 when null or broken, 203 when not building (already complete),
 * 200 on exhausted memory (the message is then broken). */
VX_API uint32_t MsgComplete(Msg *msg);

/* Wraps a received block of `length` bytes (header included) after one
 * validation pass over its body: known tags only, every payload and counted
 * item complete, MDT_END last and nothing after it.
 * Without `copy` the message takes ownership of `block` on success and frees
 * it on release (so it must come from malloc); with it the block is copied
 * and stays the caller's: the message record is allocated before the copy,
 * so no copy of a sensitive block is ever freed unwiped. On failure the
 * block always stays the caller's.
 * A type missing from the table (or a null table) is accepted with no flags.
 * Null with 205 (null block, length below header size, or a body that fails
 * validation) or 200. `status` may be null. */
VX_API Msg *NewMsgFromBuffer(void *block, uint32_t length, int copy, const MsgTypeTable *table,
                             uint32_t header_size, uint32_t *status);

/* Releases the message and its bytes; null is ignored. For a sensitive type
 * the block and the record are zeroed before they are freed. */
VX_API void MsgFree(Msg *msg);

/* Text of a status code, or null for an unknown code. */
VX_API const char *MsgErr2Str(uint32_t status);

/* Queries, 205 unless the message is complete. MsgGetType gives the 16-bit
 * type of the block; MsgIsOneWay 1 when a request of the type gets no reply.
 * Null out-locations are allowed. */
VX_API uint32_t MsgGetType(const Msg *msg, uint32_t *type);
VX_API uint32_t MsgIsOneWay(const Msg *msg, uint32_t *oneway);
/* Pointer to the first byte of the block (header included) and its length;
 * the message keeps ownership. Null (length 0) with status 205 for a null or
 * broken message, 204 while it is building. `length` and `status` may be
 * null. */
VX_API unsigned char *MsgGetBuffer(const Msg *msg, uint32_t *length, uint32_t *status);

/* Appends one field (tag byte and payload): 205 for null or broken, 203 when
 * complete, 200 on exhausted memory or a string whose length does not fit in
 * 32 bits. A failed append makes the message broken: every later append,
 * MsgComplete and MsgGetBuffer give 205, and only MsgFree helps.
 * MsgAddBool stores 1 for any non-zero value. */
VX_API uint32_t MsgAddBool(Msg *msg, int value);
VX_API uint32_t MsgAddInt(Msg *msg, int32_t value);
VX_API uint32_t MsgAddUInt(Msg *msg, uint32_t value);
VX_API uint32_t MsgAddString(Msg *msg, const char *value); /* null -> NULL_LENGTH */

/* Reads, in field order: 205 unless complete, 203 at the end (or at the end
 * mark), 202 for a field of another kind (the cursor then does not move, so
 * the right reader still finds the field), 200 on exhausted memory (the
 * cursor is then past the item's length). A failed read leaves the message
 * complete and usable. Null out-locations skip the field.
 * MsgGetBool gives the stored byte. Strings are new heap copies (null for a
 * null item; *value is null after any failure); the caller frees them.
 * A string set is a new array of N + 1 pointers ending with null; a null item
 * is a null pointer at its place, so a caller that stops at the first null
 * pointer must still know N to free the rest. The caller frees each string
 * and the array. A set count of NULL_LENGTH gives 205. */
VX_API uint32_t MsgGetBool(Msg *msg, uint32_t *value);
VX_API uint32_t MsgGetInt(Msg *msg, int32_t *value);
VX_API uint32_t MsgGetUInt(Msg *msg, uint32_t *value);
VX_API uint32_t MsgGetString(Msg *msg, char **value);
VX_API uint32_t MsgGetStringSet(Msg *msg, char ***value);

/* A string set read in place: the items stay in the message's block and
 * are read one at a time with MsgNextSetItem, nothing is allocated or
 * copied. The reader moves the message's cursor: each item read steps past
 * it, so once the reader is exhausted the next field can be read. Valid
 * while the message lives. A zeroed reader is empty. */
typedef struct MsgSetReader {
  Msg *msg;      /* the message whose set is read */
  uint32_t left; /* items not yet read */
} MsgSetReader;

/* Enters a string-set field at the cursor and sets *reader over its items;
 * *count (may be null) gets their number. Statuses as MsgGetStringSet: 205
 * unless complete or for a count of NULL_LENGTH, 203 at the end or for a
 * count the remaining bytes cannot hold, 202 for another kind of field (the
 * cursor then does not move). A null reader skips the whole set, like
 * MsgGetStringSet with a null out-location. After a failure *reader is
 * empty and *count 0. */
VX_API uint32_t MsgOpenStringSet(Msg *msg, MsgSetReader *reader, uint32_t *count);

/* The reader's next item: *item points at its bytes inside the message's
 * block and *length is their number. The bytes are not NUL-terminated and
 * may hold NUL bytes. A null item gives a null *item and length 0.
 * 203 when no item is left, 205 for a null reader or one whose message is
 * not complete. An item that runs past the block gives 203 with the cursor
 * past its length, as MsgGetStringSet, and empties the reader; a message
 * from NewMsgFromBuffer or MsgComplete never holds one. After any failure
 * *item is null and *length 0. Null out-locations are allowed. */
VX_API uint32_t MsgNextSetItem(MsgSetReader *reader, const char **item, uint32_t *length);

/* One-line text of the message for debug logs; new heap string that the
 * caller frees, null only on exhausted memory. A null message is "Msg=0".
 * Otherwise the bytes after the header (those written so far while building)
 * render as the type name (or its number when the table has no row), "[",
 * the fields separated by ",", and "]" at MDT_END:
 *   BOOL True/False   INT -5   UINT u5   STRING "raw bytes" or STRING:0
 *   PASSWORD (password) or PASSWORD:0   BLOB BLOB:[2](01 ff) or BLOB:0
 *   STRINGSET ss("a","b")   KEYVALUES kv(("k","v"),("k2",STRING:0))
 * Malformed bytes never fail the dump: a body under 2 bytes is
 * "<msg-type-missing>", bytes running out add "<incomplete>", a tag above
 * MDT_LAST adds "<unknown MsgType>"; the text stops there. */
VX_API char *MsgDump(const Msg *msg);

/* The first `max_chars` characters of MsgDump's text (all of it when
 * shorter), made without rendering or walking the message past them: time
 * and memory follow `max_chars`, not the message's size. For the library's
 * own trace records, whose text has a fixed room; not exported. */
char *MsgDumpBounded(const Msg *msg, size_t max_chars);

VX_END_DECLS

#endif
