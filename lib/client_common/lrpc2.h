/* LRPC2 session transport over a Unix-domain stream socket.
 *
 * LRPC2Open connects (with a time-out), performs the 4-byte handshake and
 * enables credential passing (SO_PASSCRED) so that the kernel attaches the
 * process's pid/uid/gid to everything sent. LRPC2Transact frames a completed
 * request in place, sends it, and reads one reply frame, answering the
 * agent's process-authentication challenges on the way. Every socket write
 * uses MSG_NOSIGNAL: a vanished peer is status 404, never SIGPIPE.
 *
 * Frame: [magic u32][total length u32, header included][message body].
 * Time-outs are whole seconds; 0 blocks without limit for reads and writes.
 * A session serves one transaction at a time and must not be shared between
 * threads.
 */
#ifndef VX_CLIENT_COMMON_LRPC2_H
#define VX_CLIENT_COMMON_LRPC2_H

#include <stddef.h>
#include <stdint.h>

#include "client_common/msg.h"
#include "client_common/msg_types.h"
#include "util/vx_api.h"

VX_BEGIN_DECLS

#define LRPC_HEADER_SIZE 8u
#define LRPC_MAGIC 0xABCD8012u
#define LRPC_HELLO 3u
#define LRPC_WELCOME 1u
/* Bounds on a reply: an announced total length outside [min, max] fails the
 * transaction with LRPC_ERR_SOCKET before anything is allocated; more than
 * LRPC_MAX_CHALLENGES successive challenges fail it with LRPC_ERR_AUTH. */
#define LRPC_MIN_FRAME LRPC_HEADER_SIZE
#define LRPC_MAX_FRAME (256u * 1024u * 1024u)
#define LRPC_MAX_CHALLENGES 16

/* Status codes; LRPC2Err2Str gives their texts. */
typedef enum LRPCErr {
  LRPC_OK = 0,
  LRPC_ERR_NO_PATH = 400,
  LRPC_ERR_OPEN = 401,
  LRPC_ERR_PROTOCOL = 402,
  LRPC_ERR_TABLE_VERSION = 403,
  LRPC_ERR_CLOSED = 404,
  LRPC_ERR_SOCKET = 405,
  LRPC_ERR_BAD_MSG = 406,
  LRPC_ERR_NOMEM = 407,
  LRPC_ERR_TIMEOUT = 408,
  LRPC_ERR_AUTH = 409,
  LRPC_ERR_NO_IDENTITY = 410,
  LRPC_ERR_BAD_SESSION = 411,
  LRPC_ERR_NEED_TIMEOUT = 412,
  LRPC_ERR_MAGIC = 413,
  LRPC_ERR_TMP_SPACE = 414,
  LRPC_ERR_OPEN_FILE = 415,
  LRPC_ERR_FILE_OP = 416,
  LRPC_ERR_CONNECT_TIMEOUT = 418
} LRPCErr;

typedef struct LRPC2Session {
  int read_fd;             /* the connected socket */
  int write_fd;            /* the same socket */
  const MsgTypeTable *table;
  uint32_t is_socket;      /* 1: I/O through sendmsg/recvmsg */
} LRPC2Session;

/* Opens a session to the absolute socket path. Null with 400 (null or
 * relative path, nothing created), 401, 405, 406 (wrong handshake answer),
 * 407, 408 or 418. The caller releases the session with LRPC2Close. */
VX_API LRPC2Session *LRPC2Open(const char *path, const MsgTypeTable *table, uint32_t connect_timeout,
                               uint32_t handshake_timeout, uint32_t *status);

/* Sends a completed request and returns its reply (caller frees with
 * MsgFree). Null with status 0 for a one-way request; null with a non-zero
 * status on failure. The request stays the caller's, its header filled in. */
VX_API Msg *LRPC2Transact(LRPC2Session *session, Msg *request, uint32_t timeout, uint32_t *status);

/* Closes the socket and frees the record; null is ignored. */
VX_API void LRPC2Close(LRPC2Session *session);

/* Text of a status code, or null for an unknown code. */
VX_API const char *LRPC2Err2Str(uint32_t status);

/* Waits until `fd` is readable (writable): 1 ready, 0 time-out, -1 error. */
VX_API int RecvWait(int fd, uint32_t seconds);
VX_API int SendWait(int fd, uint32_t seconds);

/* Internal, not exported: move exactly n bytes with the time-out; status. */
uint32_t WriteFull(int fd, const void *buf, size_t n, uint32_t timeout);
uint32_t ReadFull(int fd, void *buf, size_t n, uint32_t timeout);
int WaitFd(int fd, short events, uint32_t seconds);

VX_END_DECLS

#endif
