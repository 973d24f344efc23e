#include "test_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>

#include "client_common/lrpc2.h"
#include "client_common/msg_types.h"

namespace vxtest {

namespace {

void WriteAllBytes(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

uint32_t ReadU32(const std::string &bytes, size_t offset) {
  uint32_t v = 0;
  memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); }

}  // namespace

TestAgent::TestAgent(std::string path) : path_(std::move(path)) {
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("test agent cannot listen at " + path_);
  }
  thread_ = std::thread([this] { Run(); });
}

TestAgent::~TestAgent() { Stop(); }

void TestAgent::Stop() {
  if (!thread_.joinable()) return;
  char c = 'x';
  (void)!write(stop_pipe_[1], &c, 1);
  thread_.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  unlink(path_.c_str());
}

void TestAgent::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mu_);
  silent_ = silent;
}

void TestAgent::SetReplyBody(std::string body) {
  std::lock_guard<std::mutex> lock(mu_);
  reply_body_ = std::move(body);
}

std::vector<std::string> TestAgent::WaitFrames(size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return frames_.size() >= n; });
  return frames_;
}

std::vector<std::string> TestAgent::Frames() {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

int TestAgent::Connections() {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

std::string TestAgent::ReplyFor(const std::string &frame) {
  std::string body = reply_body_;
  if (body.empty()) body = frame.substr(LRPC_HEADER_SIZE, 2) + std::string(1, '\0');
  return U32(LRPC_MAGIC) + U32(static_cast<uint32_t>(LRPC_HEADER_SIZE + body.size())) + body;
}

// Consumes the handshake and every whole frame in `pending`.
void TestAgent::Serve(int fd, std::string &pending, bool &greeted) {
  if (!greeted && pending.size() >= 4) {
    pending.erase(0, 4);
    greeted = true;
    WriteAllBytes(fd, U32(LRPC_WELCOME));
  }
  while (greeted && pending.size() >= LRPC_HEADER_SIZE) {
    uint32_t total = ReadU32(pending, 4);
    if (total < LRPC_HEADER_SIZE || pending.size() < total) return;
    std::string frame = pending.substr(0, total);
    pending.erase(0, total);
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mu_);
      frames_.push_back(frame);
      if (!silent_) reply = ReplyFor(frame);
    }
    cv_.notify_all();
    if (!reply.empty()) WriteAllBytes(fd, reply);
  }
}

void TestAgent::Run() {
  struct Conn {
    std::string pending;
    bool greeted = false;
  };
  std::map<int, Conn> conns;
  for (;;) {
    std::vector<pollfd> fds = {{stop_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (auto &c : conns) fds.push_back({c.first, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        conns[fd] = Conn{};
        std::lock_guard<std::mutex> lock(mu_);
        connections_++;
      }
    }
    for (size_t i = 2; i < fds.size(); i++) {
      if (fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
      if (n <= 0) {
        close(fds[i].fd);
        conns.erase(fds[i].fd);
        continue;
      }
      Conn &c = conns[fds[i].fd];
      c.pending.append(buf, static_cast<size_t>(n));
      Serve(fds[i].fd, c.pending, c.greeted);
    }
  }
  for (auto &c : conns) close(c.first);
}

uint32_t FrameType(const std::string &frame) {
  uint16_t type = 0;
  if (frame.size() >= LRPC_HEADER_SIZE + 2) memcpy(&type, frame.data() + LRPC_HEADER_SIZE, 2);
  return type;
}

namespace {

uint32_t ReadString(Msg *msg, bool *present, std::string *out) {
  char *s = nullptr;
  uint32_t status = MsgGetString(msg, &s);
  *present = s != nullptr;
  if (s != nullptr) *out = s;
  free(s);
  return status;
}

}  // namespace

std::vector<LogRecord> DecodeLogFrame(const std::string &frame, uint32_t *status) {
  std::vector<LogRecord> records;
  Msg *msg = NewMsgFromBuffer(const_cast<char *>(frame.data()), static_cast<uint32_t>(frame.size()), 1,
                              GetMsgTypeTable(), LRPC_HEADER_SIZE, status);
  if (msg == nullptr) return records;
  for (;;) {
    LogRecord r;
    uint32_t st = MsgGetUInt(msg, &r.time);
    if (st == 0) st = ReadString(msg, &r.has_process, &r.process);
    if (st == 0) st = MsgGetInt(msg, &r.pid);
    if (st == 0) st = MsgGetInt(msg, &r.level);
    if (st == 0) st = ReadString(msg, &r.has_file, &r.file);
    if (st == 0) st = MsgGetInt(msg, &r.line);
    if (st == 0) st = ReadString(msg, &r.has_function, &r.function);
    if (st == 0) st = ReadString(msg, &r.has_text, &r.text);
    if (st != 0) {
      *status = st;
      break;
    }
    records.push_back(r);
  }
  MsgFree(msg);
  return records;
}

}  // namespace vxtest
