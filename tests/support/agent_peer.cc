#include "agent_peer.h"

#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace vxtest::agent {

Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

Bytes U32(uint32_t v) { return Bytes(reinterpret_cast<const char *>(&v), 4); }

Bytes Frame(uint16_t type, const Bytes &fields, uint32_t magic) {
  Bytes body = Bytes(reinterpret_cast<const char *>(&type), 2) + fields + B({0});
  return U32(magic) + U32(static_cast<uint32_t>(8 + body.size())) + body;
}

bool ReadExact(int fd, size_t n, Bytes *out, struct ucred *creds) {
  while (n > 0) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kPeerBoundMs) != 1) return false;
    char buf[4096];
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))];
    struct iovec iov = {buf, n < sizeof buf ? n : sizeof buf};
    struct msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd, &mh, 0);
    if (got <= 0) return false;
    struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
    if (creds && creds->pid == 0 && c && c->cmsg_type == SCM_CREDENTIALS) memcpy(creds, CMSG_DATA(c), sizeof *creds);
    out->append(buf, static_cast<size_t>(got));
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool ReadFrame(int fd, Bytes *out, struct ucred *creds) {
  size_t at = out->size();
  if (!ReadExact(fd, 8, out, creds)) return false;
  uint32_t total;
  memcpy(&total, out->data() + at + 4, 4);
  return total >= 8 && ReadExact(fd, total - 8, out, creds);
}

void Send(int fd, const Bytes &bytes) {
  if (!bytes.empty()) (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

bool AwaitEof(int fd) {
  Bytes sink;
  while (ReadExact(fd, 1, &sink)) {
  }
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

void AwaitSleeping(pid_t tid) {
  std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerBoundMs);
  while (std::chrono::steady_clock::now() < end) {
    std::string s = ReadFile(stat);
    size_t close = s.rfind(')');
    if (close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'S') return;
    std::this_thread::yield();
  }
}

Peer::Peer(int backlog) {
  listener = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
  if (bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(listener, backlog) != 0) {
    throw std::runtime_error("cannot listen on " + path);
  }
}

Peer::~Peer() {
  Join();
  close(listener);
}

void Peer::Serve(const Bytes &welcome, std::function<void(Peer &, int)> script) {
  thread = std::thread([this, welcome, script] {
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, kPeerBoundMs) != 1) return;
    int conn = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(conn, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
    if (ReadExact(conn, 4, &hello)) {
      Send(conn, welcome);
      if (script) script(*this, conn);
    }
    close(conn);
  });
}

void Peer::Join() {
  if (thread.joinable()) thread.join();
}

}  // namespace vxtest::agent
