#include "connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client_common/msg_ptr.h"
#include "frame.h"

namespace agentsim {
namespace {

constexpr size_t kReadChunk = size_t{64} * 1024;
// Room for the credentials and for descriptors a client might push at us.
constexpr size_t kControlSpace = CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(16 * sizeof(int));
constexpr ssize_t kWouldBlock = -2;
// An input buffer grown beyond this by a large frame is not kept.
constexpr size_t kKeepBuffer = size_t{256} * 1024;
// A frame's header and type: what is read before the type's faults apply.
constexpr size_t kTypeEnd = LRPC_HEADER_SIZE + sizeof(uint16_t);

uint32_t LoadU32(const unsigned char *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint16_t LoadU16(const unsigned char *p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

iovec ToIovec(std::string_view bytes) { return iovec{const_cast<char *>(bytes.data()), bytes.size()}; }

using vx::FreePtr;
using vx::MsgPtr;

// Descriptors passed to us are closed at once: we never use them.
void CloseRights(const cmsghdr *c) {
  size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
  for (size_t i = 0; i < count; ++i) {
    int fd;
    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
    ::close(fd);
  }
}

}  // namespace

// Connections are numbered in the order they are accepted, so that the
// record shows which frames shared one.
Connection::Connection(UniqueFd fd, Services &services) : fd_(std::move(fd)), services_(services) {
  static uint64_t accepted = 0;
  number_ = ++accepted;
  StartRead(sizeof(uint32_t), Phase::kHello);
}

bool Connection::Reading() const {
  return phase_ == Phase::kHello || phase_ == Phase::kHeader || phase_ == Phase::kBody ||
         phase_ == Phase::kIgnore;
}

short Connection::Events() const {
  if (Reading()) return POLLIN;
  return phase_ == Phase::kWrite ? POLLOUT : 0;
}

std::optional<Clock::time_point> Connection::Deadline() const {
  if (phase_ == Phase::kDelay || phase_ == Phase::kReadPause) return deadline_;
  return std::nullopt;
}

void Connection::OnEvents(short revents) {
  // A closed descriptor, or a peer that went away while its reply is held back.
  const bool held = !Reading() && phase_ != Phase::kWrite;
  if ((revents & POLLNVAL) || (held && (revents & (POLLHUP | POLLERR)))) {
    Finish();
  } else if (Reading()) {
    if (revents & (POLLIN | POLLHUP | POLLERR)) OnReadable();
  } else if (phase_ == Phase::kWrite) {
    if (revents & (POLLOUT | POLLHUP | POLLERR)) OnWritable();
  }
}

void Connection::OnDeadline(Clock::time_point now) {
  if ((phase_ != Phase::kDelay && phase_ != Phase::kReadPause) || now < deadline_) return;
  if (phase_ == Phase::kReadPause) {
    phase_ = Phase::kBody;  // the next byte is read when it is there
    return;
  }
  phase_ = Phase::kWrite;
  OnWritable();
}

void Connection::Hold(Phase phase, std::chrono::milliseconds pause) {
  phase_ = phase;
  deadline_ = Clock::now() + pause;
}

std::string_view Connection::Input() const {
  return {reinterpret_cast<const char *>(in_.data()), in_.size()};
}

void Connection::StartRead(size_t total, Phase phase) {
  if (in_.capacity() > kKeepBuffer) in_ = {};
  in_.clear();
  want_ = total;
  phase_ = phase;
  read_pace_known_ = false;
  read_pace_ = {};
}

// Receives into [dst, dst + size) and takes the credentials that came with
// the bytes. Returns the byte count, 0 when the peer closed, kWouldBlock, or
// -1 on another failure.
ssize_t Connection::Receive(unsigned char *dst, size_t size) {
  alignas(cmsghdr) unsigned char control[kControlSpace];
  iovec iov{dst, size};
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(fd_.get(), &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
  for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_RIGHTS) CloseRights(c);
    if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      ucred cred;
      std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
      credentials_ = Credentials{cred.pid, cred.uid, cred.gid};
    }
  }
  return n;
}

// Bytes asked for by one read: a request's type on its own, so that its
// slow-read fault can pace the rest of the body, one byte a read.
size_t Connection::ReadLimit() const {
  const size_t have = in_.size();
  if (phase_ == Phase::kBody && !read_pace_known_ && have < kTypeEnd) return kTypeEnd - have;
  return phase_ == Phase::kBody && read_pace_.count() > 0 ? 1 : kReadChunk;
}

// Once a request's type is in, its slow-read fault sets the pause after
// each further byte (challenge answers are not requests).
void Connection::PaceReading() {
  if (phase_ != Phase::kBody) return;
  if (!read_pace_known_ && in_.size() >= kTypeEnd) {
    read_pace_known_ = true;
    if (!awaiting_answer_)
      read_pace_ = services_.faults.ForRequest(LoadU16(in_.data() + LRPC_HEADER_SIZE)).slow_read;
  }
  if (read_pace_.count() > 0 && in_.size() > kTypeEnd) Hold(Phase::kReadPause, read_pace_);
}

void Connection::OnReadable() {
  while (Reading()) {
    // While ignoring, the bytes land in the buffer and are thrown away.
    bool ignoring = phase_ == Phase::kIgnore;
    size_t have = ignoring ? 0 : in_.size();
    in_.resize(have + (ignoring ? kReadChunk : std::min(want_ - have, ReadLimit())));
    ssize_t n = Receive(in_.data() + have, in_.size() - have);
    in_.resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n == kWouldBlock) return;
    if (n <= 0) return Finish();  // closed by the peer, or broken
    if (!ignoring && in_.size() == want_) {
      OnInputComplete();
    } else {
      PaceReading();
    }
  }
}

void Connection::OnInputComplete() {
  switch (phase_) {
    case Phase::kHello:
      return OnHello();
    case Phase::kHeader:
      return OnHeader();
    case Phase::kBody:
      return OnFrame();
    default:
      return;
  }
}

void Connection::OnHello() {
  if (LoadU32(in_.data()) != LRPC_HELLO) return Drop("unknown handshake word");
  HandshakePlan plan = services_.faults.ForHandshake();
  if (services_.script != nullptr) {
    services_.script->Received(Input(), Sender());
    return Play(services_.script->Respond(Input()), plan.trickle);
  }
  if (plan.close) return Finish();
  if (plan.silent) return StartRead(0, Phase::kIgnore);
  Send(OutFrame{EncodeWord(plan.refuse.value_or(LRPC_WELCOME)), nullptr}, Then::kRead, plan.delay,
       plan.trickle);
}

void Connection::OnHeader() {
  uint32_t magic = LoadU32(in_.data());
  uint32_t total = LoadU32(in_.data() + sizeof magic);
  if (magic != LRPC_MAGIC) return Drop("bad frame magic");
  if (total < kMinFrameSize || total > kMaxFrameSize) return Drop("bad frame length");
  want_ = total;  // the body follows the header in the same buffer
  phase_ = Phase::kBody;
}

void Connection::OnFrame() {
  uint32_t status = 0;
  MsgPtr msg(NewMsgFromBuffer(in_.data(), static_cast<uint32_t>(in_.size()), 1, GetMsgTypeTable(),
                              LRPC_HEADER_SIZE, &status));
  uint32_t type = 0;
  if (msg == nullptr || MsgGetType(msg.get(), &type) != MSG_OK) return Drop("invalid frame body");
  NoteFrame(type);
  if (awaiting_answer_) {
    if (type != MSGTYPE_AUTH_CHALLENGE2) return Drop("challenge answered with another message type");
    return ContinueExchange();
  }
  if (type == MSGTYPE_AUTH_CHALLENGE2) return Drop("challenge answer without a challenge");
  OnRequest(type, msg.get());
}

// Records the frame with its sender and shows it to the script.
void Connection::NoteFrame(uint32_t type) {
  const Credentials *sender = Sender();
  const std::string conn = "conn=" + std::to_string(number_);
  if (sender != nullptr) {
    services_.recorder.Write(RecordFile::kFrames, {std::to_string(type), "pid=" + std::to_string(sender->pid),
                                                   "uid=" + std::to_string(sender->uid),
                                                   "gid=" + std::to_string(sender->gid), conn});
  } else {
    services_.recorder.Write(RecordFile::kFrames, {std::to_string(type), "pid=?", "uid=?", "gid=?", conn});
  }
  if (services_.script != nullptr) services_.script->Received(Input(), sender);
  credentials_.reset();
}

void Connection::OnRequest(uint32_t type, Msg *request) {
  if (services_.recorder.enabled()) {
    FreePtr<char> dump(MsgDump(request));
    services_.recorder.Write(RecordFile::kRequests,
                             {std::to_string(type), dump ? Cell(dump.get()) : Cell(std::nullopt)});
  }
  FaultPlan plan = services_.faults.ForRequest(type);
  if (services_.script != nullptr) return Play(services_.script->Respond(Input()), plan.trickle);
  Reply reply = HandleRequest(type, request, plan, services_);
  exit_pending_ = plan.exit;
  if (plan.close || (exit_pending_ && (reply.one_way || plan.silent))) return Finish();
  if (reply.one_way || plan.silent) return StartRead(LRPC_HEADER_SIZE, Phase::kHeader);
  const OutFrame challenge{EncodeReply(MSGTYPE_AUTH_CHALLENGE2, {}, ReplyForm::kNormal), nullptr};
  exchange_.assign(plan.challenges, challenge);
  exchange_.push_back(EncodeReplyFrame(type, reply.fields, plan.form));
  after_reply_ = FormClosesConnection(plan.form) ? Then::kClose : Then::kRead;
  reply_delay_ = plan.delay;
  reply_trickle_ = plan.trickle;
  ContinueExchange();
}

void Connection::Play(Script::Answer answer, std::chrono::milliseconds trickle) {
  exchange_.clear();
  for (std::string &frame : answer.frames) exchange_.push_back(OutFrame{std::move(frame), nullptr});
  after_reply_ = answer.close ? Then::kClose : Then::kRead;
  reply_delay_ = {};
  reply_trickle_ = trickle;
  if (!exchange_.empty()) return ContinueExchange();
  if (answer.close) return Finish();
  StartRead(LRPC_HEADER_SIZE, Phase::kHeader);
}

void Connection::ContinueExchange() {
  OutFrame next = std::move(exchange_.front());
  exchange_.pop_front();
  awaiting_answer_ = !exchange_.empty();
  if (awaiting_answer_) return Send(std::move(next), Then::kRead);
  Send(std::move(next), after_reply_, reply_delay_, reply_trickle_);
}

void Connection::Send(OutFrame bytes, Then then, std::chrono::milliseconds delay,
                      std::chrono::milliseconds trickle) {
  out_ = std::move(bytes);
  out_sent_ = 0;
  then_ = then;
  write_pace_ = trickle;
  if (delay.count() > 0) return Hold(Phase::kDelay, delay);
  phase_ = Phase::kWrite;
  OnWritable();
}

// Sends what is left of the head and the tail in one call, or only the next
// byte of them.
ssize_t Connection::SendSome(bool one_byte) {
  iovec iov[2];
  msghdr mh{};
  mh.msg_iov = iov;
  const std::string_view head = out_.head, tail = out_.tail ? std::string_view(out_.tail->wire()) : "";
  if (out_sent_ < head.size()) iov[mh.msg_iovlen++] = ToIovec(head.substr(out_sent_));
  if (!tail.empty())
    iov[mh.msg_iovlen++] = ToIovec(tail.substr(out_sent_ - std::min(out_sent_, head.size())));
  if (one_byte && mh.msg_iovlen > 0) {
    iov[0].iov_len = 1;
    mh.msg_iovlen = 1;
  }
  return ::sendmsg(fd_.get(), &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Writes as far as the socket takes it; a trickled answer one byte, then a
// pause.
void Connection::OnWritable() {
  const bool trickling = write_pace_.count() > 0;
  while (out_sent_ < out_.size()) {
    ssize_t n = SendSome(trickling);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) return Finish();
    out_sent_ += static_cast<size_t>(n);
    if (trickling && out_sent_ < out_.size()) return Hold(Phase::kDelay, write_pace_);
  }
  AfterSend();
}

void Connection::AfterSend() {
  out_ = OutFrame{};
  if (then_ == Then::kClose || (exit_pending_ && !awaiting_answer_)) return Finish();
  StartRead(LRPC_HEADER_SIZE, Phase::kHeader);
}

void Connection::Drop(const char *reason) {
  (void)std::fprintf(stderr, "vxagent-sim: dropping a connection: %s\n", reason);
  Finish();
}

}  // namespace agentsim
