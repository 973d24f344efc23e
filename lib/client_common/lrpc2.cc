// LRPC2 sessions: open with handshake, request/reply transactions with the
// process-authentication challenge, close, status texts.
#include "client_common/lrpc2.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "client_common/lrpc2_io.h"
#include "client_common/msg_block.h"
#include "client_common/msg_ptr.h"
#include "util/safe_string.h"
#include "util/status_text.h"

namespace {

constexpr vx::StatusText kErrTexts[] = {
    {LRPC_ERR_NO_PATH, "Socket path does not exist"},
    {LRPC_ERR_OPEN, "Cannot open socket"},
    {LRPC_ERR_PROTOCOL, "Wrong protocol in handshake"},
    {LRPC_ERR_TABLE_VERSION, "Message table version mismatch"},
    {LRPC_ERR_CLOSED, "Socket closed"},
    {LRPC_ERR_SOCKET, "Socket error"},
    {LRPC_ERR_BAD_MSG, "Invalid message handle or operation"},
    {LRPC_ERR_NOMEM, "Out of memory"},
    {LRPC_ERR_TIMEOUT, "Timeout during operation"},
    {LRPC_ERR_AUTH, "Process authentication failed"},
    {LRPC_ERR_NO_IDENTITY, "Process identity is not known at this point"},
    {LRPC_ERR_BAD_SESSION, "Bad or invalid session handle"},
    {LRPC_ERR_NEED_TIMEOUT, "A timeout value is required"},
    {LRPC_ERR_MAGIC, "Bad magic number in communication, potential network or byte order issue"},
    {LRPC_ERR_TMP_SPACE, "Temporary storage is running out of space"},
    {LRPC_ERR_OPEN_FILE, "Cannot open file"},
    {LRPC_ERR_FILE_OP, "File operation error"},
    {LRPC_ERR_CONNECT_TIMEOUT, "Timeout while connecting"},
    {LRPC_ERR_PEER, "Peer is neither root nor the calling user"},
};

// Smallest request that can carry a frame header: header, type, end mark.
constexpr uint32_t kMinRequest = LRPC_HEADER_SIZE + 3u;

struct SessionCloser {
  void operator()(LRPC2Session *s) const { LRPC2Close(s); }
};
using SessionPtr = std::unique_ptr<LRPC2Session, SessionCloser>;

using vx::MsgPtr;

// A one-way request is done once it is sent: no reply, status 0.
Msg *NoReply(uint32_t *status) {
  vx::SetStatus(status, LRPC_OK);
  return nullptr;
}

template <typename T>
T *Fail(uint32_t *status, uint32_t code) {
  if (status != nullptr) *status = code;
  return nullptr;
}

int SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

// SO_SNDTIMEO bounds a blocking connect; a zero time would mean none, so
// what is left is rounded up to the next microsecond.
int SetSendTimeout(int fd, int64_t ns) {
  const int64_t us = (ns + 999) / 1000;
  struct timeval tv = {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// One blocking connect, bounded by the time left to `deadline` (SO_SNDTIMEO
// bounds it); the socket is put back as it was.
int ConnectBlocking(int fd, const struct sockaddr_un *addr, socklen_t len, int64_t left_ns) {
  if (SetNonBlocking(fd, false) != 0 || SetSendTimeout(fd, left_ns) != 0) return -1;
  const int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(addr), len);
  const int saved_errno = errno;
  if (SetSendTimeout(fd, 0) != 0 || SetNonBlocking(fd, true) != 0) return -1;
  errno = saved_errno;
  return rc;
}

// A non-blocking connect to a Unix socket whose listen queue is full fails
// with EAGAIN instead of waiting. Wait for a slot with blocking connects
// until the deadline; an interrupted one goes on with the time left.
uint32_t ConnectWhenQueueFull(int fd, const struct sockaddr_un *addr, socklen_t len, LrpcDeadline deadline) {
  for (;;) {
    const int64_t left = deadline.at_ns - MonotonicNs();
    if (left <= 0) {
      errno = EAGAIN;
      return LRPC_ERR_CONNECT_TIMEOUT;
    }
    if (ConnectBlocking(fd, addr, len, left) == 0) return LRPC_OK;
    if (errno != EINTR && errno != EAGAIN) return LRPC_ERR_SOCKET;
  }
}

uint32_t Connect(int fd, const char *path, LrpcDeadline deadline) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  SafeStrnCpy(addr.sun_path, path, sizeof addr.sun_path);
  auto len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + strlen(addr.sun_path));
  if (connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), len) == 0) return LRPC_OK;
  if (errno == EAGAIN) return ConnectWhenQueueFull(fd, &addr, len, deadline);
  if (errno != EINPROGRESS) return LRPC_ERR_SOCKET;
  int ready = WaitUntil(fd, POLLOUT, deadline);
  if (ready == 1) return LRPC_OK;
  return ready == 0 ? LRPC_ERR_CONNECT_TIMEOUT : LRPC_ERR_SOCKET;
}

// The credentials of the peer the latest open on this thread refused.
struct RefusedPeer {
  bool set;
  pid_t pid;
  uid_t uid;
};
thread_local RefusedPeer t_refused = {};

// The agent's socket must have been made by root or by the user this
// process acts as: anyone else listening at the path is an impostor, and
// nothing, not even the handshake, is sent to it.
uint32_t CheckPeer(int fd) {
  struct ucred peer = {};
  socklen_t len = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) return LRPC_ERR_SOCKET;
  if (peer.uid == 0 || peer.uid == geteuid()) return LRPC_OK;
  t_refused = {true, peer.pid, peer.uid};
  errno = EPERM;
  return LRPC_ERR_PEER;
}

uint32_t Handshake(int fd, LrpcDeadline deadline) {
  uint32_t hello = LRPC_HELLO;
  // A failed write shows up as a failed read: the peer is gone.
  (void)WriteFullBy(fd, &hello, sizeof hello, deadline);
  uint32_t answer = 0;
  uint32_t status = ReadFullBy(fd, &answer, sizeof answer, deadline);
  if (status != LRPC_OK) return status;
  return answer == LRPC_WELCOME ? LRPC_OK : LRPC_ERR_BAD_MSG;
}

uint32_t CheckRequest(const Msg *request, uint32_t *oneway) {
  uint32_t length = 0;
  uint32_t status = MSG_OK;
  if (request == nullptr || MsgGetBuffer(request, &length, &status) == nullptr || status != MSG_OK) {
    return LRPC_ERR_BAD_MSG;
  }
  if (length < kMinRequest || MsgIsOneWay(request, oneway) != MSG_OK) return LRPC_ERR_BAD_MSG;
  return LRPC_OK;
}

// Fills the frame header into the message's own block and sends the block.
uint32_t SendFrame(const LRPC2Session *s, const Msg *msg, LrpcDeadline deadline) {
  uint32_t length = 0;
  unsigned char *block = MsgGetBuffer(msg, &length, nullptr);
  if (block == nullptr || length < kMinRequest) return LRPC_ERR_BAD_MSG;
  const uint32_t header[2] = {LRPC_MAGIC, length};
  memcpy(block, header, sizeof header);
  return WriteFullBy(s->write_fd, block, length, deadline);
}

// Releases, wiped, a reply block that no message took over.
class BlockGuard {
 public:
  explicit BlockGuard(const vx_msg::Block &block) : block_(block) {}
  ~BlockGuard() { vx_msg::DiscardBlock(block_); }
  void Release() { block_.bytes = nullptr; }
  BlockGuard(const BlockGuard &) = delete;
  BlockGuard &operator=(const BlockGuard &) = delete;

 private:
  vx_msg::Block block_;
};

// A large reply is read in parts of this size, each checked as soon as it
// has arrived: while it is still in the cache, and while the agent sends
// the next part.
constexpr uint32_t kCheckedPart = 256u * 1024u;

// Reads the body of a frame of `total` bytes into `block` after its header,
// checking it part by part. A body found invalid is still read to its end,
// so that the transaction fails as it would without the early check.
uint32_t ReadBody(const LRPC2Session *s, unsigned char *block, uint32_t total, LrpcDeadline deadline,
                  vx_msg::BodyCheck *check) {
  bool checking = true;
  const size_t body = total - LRPC_HEADER_SIZE;
  for (size_t got = 0; got < body;) {
    const size_t part = std::min<size_t>(kCheckedPart, body - got);
    const uint32_t status = ReadFullBy(s->read_fd, block + LRPC_HEADER_SIZE + got, part, deadline);
    if (status != LRPC_OK) return status;
    got += part;
    if (checking) checking = vx_msg::CheckBodyPart(check, block + LRPC_HEADER_SIZE, got, body);
  }
  return LRPC_OK;
}

// Reads one frame into a block of exactly its announced length (a mapping
// for a large reply, see msg_block.h) and wraps it without a copy.
Msg *ReceiveFrame(const LRPC2Session *s, LrpcDeadline deadline, uint32_t *status) {
  uint32_t header[2];
  *status = ReadFullBy(s->read_fd, header, sizeof header, deadline);
  if (*status != LRPC_OK) return nullptr;
  const uint32_t total = header[1];
  if (header[0] != LRPC_MAGIC || total < LRPC_MIN_FRAME || total > LRPC_MAX_FRAME) {
    return Fail<Msg>(status, LRPC_ERR_SOCKET);
  }
  const vx_msg::Block block = vx_msg::AllocBlock(total);
  if (block.bytes == nullptr) return Fail<Msg>(status, LRPC_ERR_NOMEM);
  BlockGuard guard(block);
  vx_msg::BodyCheck check;
  *status = ReadBody(s, block.bytes, total, deadline, &check);
  if (*status != LRPC_OK) return nullptr;
  memcpy(block.bytes, header, sizeof header);
  uint32_t msg_status = MSG_OK;
  Msg *reply = vx_msg::NewMsgFromBlock(block, total, s->table, LRPC_HEADER_SIZE, &check, &msg_status);
  // On failure the guard releases the block; on success the reply owns it.
  if (reply == nullptr) return Fail<Msg>(status, LRPC_ERR_SOCKET);
  guard.Release();
  return reply;
}

Msg *NewChallengeAnswer(const MsgTypeTable *table) {
  uint32_t status = MSG_OK;
  MsgPtr answer(NewMsg(MSGTYPE_AUTH_CHALLENGE2, table, LRPC_HEADER_SIZE, &status));
  if (!answer || MsgComplete(answer.get()) != MSG_OK) return nullptr;
  return answer.release();
}

bool IsChallenge(const Msg *reply) {
  uint32_t type = 0;
  return MsgGetType(reply, &type) == MSG_OK && type == MSGTYPE_AUTH_CHALLENGE2;
}

}  // namespace

LRPC2Session *LRPC2Open(const char *path, const MsgTypeTable *table, uint32_t connect_timeout,
                        uint32_t handshake_timeout, uint32_t *status) {
  // Both steps are measured from here: the connect must be done by the
  // connect time-out, the handshake by the handshake time-out.
  const int64_t start = MonotonicNs();
  t_refused = {};
  if (path == nullptr || path[0] != '/' || strlen(path) > LRPC_MAX_PATH) {
    return Fail<LRPC2Session>(status, LRPC_ERR_NO_PATH);
  }
  SessionPtr s(static_cast<LRPC2Session *>(calloc(1, sizeof(LRPC2Session))));
  if (!s) return Fail<LRPC2Session>(status, LRPC_ERR_NOMEM);
  s->read_fd = s->write_fd = -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail<LRPC2Session>(status, LRPC_ERR_OPEN);
  s->read_fd = s->write_fd = fd;
  s->table = table;
  s->is_socket = 1;
  if (SetNonBlocking(fd, true) != 0) return Fail<LRPC2Session>(status, LRPC_ERR_SOCKET);
  uint32_t st = Connect(fd, path, WaitDeadline(start, connect_timeout));
  if (st == LRPC_OK) st = CheckPeer(fd);
  if (st == LRPC_OK) st = Handshake(fd, OperationDeadline(start, handshake_timeout));
  if (st != LRPC_OK) return Fail<LRPC2Session>(status, st);
  int one = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
  if (status != nullptr) *status = LRPC_OK;
  errno = 0;
  return s.release();
}

Msg *LRPC2Transact(LRPC2Session *session, Msg *request, uint32_t timeout, uint32_t *status) {
  if (session == nullptr) return Fail<Msg>(status, LRPC_ERR_BAD_SESSION);
  uint32_t oneway = 0;
  uint32_t st = CheckRequest(request, &oneway);
  if (st != LRPC_OK) return Fail<Msg>(status, st);
  // Every write and read of the exchange, challenges included, shares one
  // deadline.
  const LrpcDeadline deadline = OperationDeadline(MonotonicNs(), timeout);
  MsgPtr answer;  // the empty challenge answer, built once and resent as needed
  const Msg *outgoing = request;
  for (int challenges = 0;; ++challenges) {
    st = SendFrame(session, outgoing, deadline);
    if (st != LRPC_OK) return Fail<Msg>(status, st);
    if (outgoing == request && oneway != 0) return NoReply(status);
    MsgPtr reply(ReceiveFrame(session, deadline, &st));
    if (!reply) return Fail<Msg>(status, st);
    if (!IsChallenge(reply.get())) {
      if (status != nullptr) *status = LRPC_OK;
      return reply.release();
    }
    if (challenges == LRPC_MAX_CHALLENGES) return Fail<Msg>(status, LRPC_ERR_AUTH);
    if (!answer) answer.reset(NewChallengeAnswer(session->table));
    if (!answer) return Fail<Msg>(status, LRPC_ERR_NOMEM);
    outgoing = answer.get();
  }
}

void LRPC2Close(LRPC2Session *session) {
  if (session == nullptr) return;
  int saved_errno = errno;
  if (session->read_fd != -1) close(session->read_fd);
  free(session);
  errno = saved_errno;
}

const char *LRPC2Err2Str(uint32_t status) { return vx::FindStatusText(kErrTexts, status); }

int LRPC2RefusedPeer(pid_t *ret_pid, uid_t *ret_uid) {
  if (!t_refused.set) return 0;
  if (ret_pid != nullptr) *ret_pid = t_refused.pid;
  if (ret_uid != nullptr) *ret_uid = t_refused.uid;
  return 1;
}
