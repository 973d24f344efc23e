#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace agentsim {
namespace {

constexpr int kListenBacklog = 128;
constexpr mode_t kSocketMode = 0666;
constexpr size_t kMaxConnections = 900;  // below the usual limit of 1024 descriptors

bool MakeAddress(const std::string &path, sockaddr_un *addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

void EnablePassCred(int fd) {
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

// True when a socket file exists at the address but nobody accepts on it.
bool IsStaleSocket(const sockaddr_un &addr) {
  struct stat st;
  if (::lstat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe && ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
         errno == ECONNREFUSED;
}

std::string Reason(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + strerror(errno);
}

}  // namespace

Server::~Server() {
  connections_.clear();
  for (Listener &l : listeners_) {
    l.fd.reset();
    ::unlink(l.path.c_str());
  }
}

bool Server::Listen(const std::string &path, std::string *error) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr)) {
    *error = "socket path is empty or too long: " + path;
    return false;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = Reason("cannot create socket for", path);
    return false;
  }
  const auto *sa = reinterpret_cast<const sockaddr *>(&addr);
  int rc = ::bind(fd.get(), sa, sizeof addr);
  if (rc != 0 && errno == EADDRINUSE && IsStaleSocket(addr)) {
    ::unlink(path.c_str());
    rc = ::bind(fd.get(), sa, sizeof addr);
  }
  if (rc != 0) {
    *error = Reason("cannot bind", path);
    return false;
  }
  listeners_.push_back(Listener{UniqueFd(), path});  // from here on the file is ours to remove
  EnablePassCred(fd.get());
  if (::chmod(path.c_str(), kSocketMode) != 0 || ::listen(fd.get(), kListenBacklog) != 0) {
    *error = Reason("cannot listen on", path);
    return false;
  }
  listeners_.back().fd = std::move(fd);
  return true;
}

void Server::AcceptAll(Listener &listener) {
  while (connections_.size() < kMaxConnections) {
    UniqueFd fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors: stop accepting until a connection ends.
      if (errno == EMFILE || errno == ENFILE) accept_paused_ = true;
      return;
    }
    EnablePassCred(fd.get());
    connections_.emplace_back(std::move(fd), services_);
  }
  accept_paused_ = true;
}

int Server::PollTimeoutMs() const {
  std::optional<Clock::time_point> first;
  for (const Connection &c : connections_) {
    if (auto d = c.Deadline(); d && (!first || *d < *first)) first = d;
  }
  if (!first) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*first - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// One round of the loop; false when the agent is to stop.
bool Server::ServeOnce(int signal_fd) {
  std::vector<pollfd> fds;
  fds.push_back({signal_fd, POLLIN, 0});
  for (const Listener &l : listeners_) fds.push_back({l.fd.get(), short(accept_paused_ ? 0 : POLLIN), 0});
  for (const Connection &c : connections_) fds.push_back({c.fd(), c.Events(), 0});
  if (::poll(fds.data(), fds.size(), PollTimeoutMs()) < 0) {
    if (errno == EINTR) return true;
    std::perror("vxagent-sim: poll");
    return false;
  }
  if (fds[0].revents != 0) return false;
  auto now = Clock::now();
  size_t i = 1 + listeners_.size();
  for (auto it = connections_.begin(); it != connections_.end(); ++i, ++it) {
    if (fds[i].revents != 0) it->OnEvents(fds[i].revents);
    it->OnDeadline(now);
  }
  for (size_t k = 0; k < listeners_.size(); ++k) {
    if (fds[1 + k].revents & POLLIN) AcceptAll(listeners_[k]);
  }
  bool exit = std::any_of(connections_.begin(), connections_.end(),
                          [](const Connection &c) { return c.wants_exit(); });
  size_t before = connections_.size();
  connections_.remove_if([](const Connection &c) { return c.finished(); });
  if (connections_.size() < before) accept_paused_ = false;
  return !exit;
}

bool Server::Idle() const {
  if (!connections_.empty()) return false;
  std::vector<pollfd> fds;
  for (const Listener &l : listeners_) fds.push_back({l.fd.get(), POLLIN, 0});
  return ::poll(fds.data(), fds.size(), 0) == 0;
}

void Server::Run(int signal_fd) {
  while (ServeOnce(signal_fd)) {
  }
}

}  // namespace agentsim
