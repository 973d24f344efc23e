/* LRPC2 session transport over a Unix-domain stream socket.
 *
 * LRPC2Open connects (with a time-out), performs the 4-byte handshake and
 * enables credential passing (SO_PASSCRED) so that the kernel attaches the
 * process's pid/uid/gid to everything sent. LRPC2Transact frames a completed
 * request in place, sends it, and reads one reply frame, answering the
 * agent's process-authentication challenges on the way. Every socket write
 * uses MSG_NOSIGNAL: a vanished peer is status 404, never SIGPIPE.
 *
 * Frame: [magic u32][total length u32, header included][message body], in
 * host byte order. Handshake: the client sends the u32 LRPC_HELLO once per
 * connection, the agent answers LRPC_WELCOME. Time-outs are whole seconds;
 * 0 blocks without limit for reads and writes. Each time-out bounds a whole
 * step from its start (the connect, the handshake, a transaction with all
 * its challenges), not each wait within it, so a peer that trickles bytes
 * cannot hold the caller beyond it.
 * A session serves one transaction at a time and must not be shared between
 * threads.
 */
#ifndef VX_CLIENT_COMMON_LRPC2_H
#define VX_CLIENT_COMMON_LRPC2_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

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
/* Longest socket path: sun_path holds 108 bytes including the terminator. */
#define LRPC_MAX_PATH 107u
/* poll() takes an int of milliseconds: every wait and every time-out is
 * capped at this many seconds (about 24.8 days). */
#define LRPC_MAX_WAIT_SECONDS 2147483u

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
  LRPC_ERR_CONNECT_TIMEOUT = 418,
  LRPC_ERR_PEER = 419
} LRPCErr;

typedef struct LRPC2Session {
  int read_fd;  /* the connected socket */
  int write_fd; /* the same socket */
  const MsgTypeTable *table;
  uint32_t is_socket; /* 1: I/O through sendmsg/recvmsg */
} LRPC2Session;

/* Opens a session to the socket at the absolute `path`.
 *
 * Connects, checks who listens, sends LRPC_HELLO and expects LRPC_WELCOME,
 * then enables SO_PASSCRED. The socket stays non-blocking for the life of
 * the session. `table` (borrowed; it must outlive the session) is used to
 * wrap replies and build challenge answers.
 *
 * Both time-outs count from the call: the connect must be done within
 * `connect_timeout` seconds (0: no wait), the handshake within
 * `handshake_timeout` seconds (0: no limit), so with equal values the whole
 * open ends within that time. A connect refused with EAGAIN (the listen
 * queue is full) is retried until the connect time-out. Time-outs above
 * LRPC_MAX_WAIT_SECONDS count as that.
 *
 * The peer must be root or the caller's effective user (SO_PEERCRED, the
 * credentials of whoever made the listening socket); any other is refused
 * with 419 before anything is sent to it, and LRPC2RefusedPeer names it.
 *
 * Returns the session, owned by the caller and released with LRPC2Close, or
 * null with *status (nothing stays open, errno tells the failing call):
 *   400 path null, relative, or of 108 characters or more (LRPC_MAX_PATH);
 *       no socket is created
 *   401 socket() failed          405 connect() or the socket failed, or
 *       getsockopt(SO_PEERCRED) failed
 *   418 not connected within the connect time-out
 *   419 the peer is neither root nor the caller's effective user (EPERM)
 *   404 the agent closed during the handshake
 *   406 the handshake answer is not LRPC_WELCOME
 *   407 out of memory            408 no handshake answer in time */
VX_API LRPC2Session *LRPC2Open(const char *path, const MsgTypeTable *table, uint32_t connect_timeout,
                               uint32_t handshake_timeout, uint32_t *status);

/* Sends a completed request and returns its reply.
 *
 * The request must have been built with LRPC_HEADER_SIZE header bytes; its
 * frame header is written in place and the block is sent as it is. The
 * whole transaction (the request write, every challenge exchange and the
 * whole reply) must be done within `timeout` seconds from the call, capped
 * at LRPC_MAX_WAIT_SECONDS; 0 blocks without limit. A reply of type
 * MSGTYPE_AUTH_CHALLENGE2 is answered with an empty message of that type and
 * the next frame is taken instead, at most LRPC_MAX_CHALLENGES times. The
 * reply's type is not compared with the request's.
 *
 * A reply of MSG_MAP_THRESHOLD (1 MiB) or more is read into an anonymous
 * mapping aligned for transparent huge pages and checked part by part as it
 * arrives; smaller ones into a heap block. MsgFree gives either back.
 *
 * Returns the reply (the caller frees it with MsgFree), or null with
 * *status: 0 for a one-way request (nothing is read), otherwise
 *   404 the agent closed the socket  405 socket error, wrong magic, announced
 *       length out of bounds or invalid body
 *   406 request null or not complete 407 out of memory
 *   408 not done within the time-out 409 too many challenges
 *   411 session null
 * The request always stays the caller's. After a failure the byte stream is
 * at an unknown position: make no further transaction on the session. */
VX_API Msg *LRPC2Transact(LRPC2Session *session, Msg *request, uint32_t timeout, uint32_t *status);

/* Closes the socket and frees the record; null is ignored, errno is kept. */
VX_API void LRPC2Close(LRPC2Session *session);

/* Constant text of a status code, or null for 0, 417 and any other code. */
VX_API const char *LRPC2Err2Str(uint32_t status);

/* Waits up to `seconds` (0: no wait) until `fd` is readable (RecvWait) or
 * writable (SendWait). Waits are capped at LRPC_MAX_WAIT_SECONDS (2,147,483
 * s). An interrupted wait goes on with the time left (monotonic clock), so
 * signals do not extend it. Returns 1 when ready, 0 on time-out, -1 when
 * poll fails (errno set) or reports POLLERR, POLLHUP or POLLNVAL on the
 * descriptor (errno 0). */
VX_API int RecvWait(int fd, uint32_t seconds);
VX_API int SendWait(int fd, uint32_t seconds);

/* Not exported; for the session openers of this tree, which log whom they
 * refused. When the latest LRPC2Open of the calling thread failed with 419,
 * returns 1 and gives the refused peer's process and user id (each out
 * location may be null); otherwise 0. Every LRPC2Open replaces what the
 * previous one left, so ask before anything else opens a session. */
int LRPC2RefusedPeer(pid_t *ret_pid, uid_t *ret_uid);

VX_END_DECLS

#endif
