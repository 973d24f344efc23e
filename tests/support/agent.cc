#include "agent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <stdexcept>

namespace vxtest {
namespace {

constexpr int kBoundMs = 5000;
constexpr size_t kHandshake = 4;
constexpr uint32_t kHeader = 8;
constexpr uint32_t kMaxFrame = 16u << 20;

void SendAll(int fd, const Bytes &bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

const Bytes Agent::kHangUp = "\xff<hang up>";

struct Agent::Conn {
  int fd = -1;
  bool greeted = false;
  Bytes in = {};
  std::deque<Bytes> answers = {};
};

Agent::Agent(Options options)
    : path_(options.path.empty() ? dir_.file("agent.sock") : options.path), options_(std::move(options)) {
  ReplyFields({});
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
  if (bind(listener_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listener_, options_.backlog) != 0 || pipe2(stop_, O_CLOEXEC) != 0) {
    throw std::runtime_error("test agent cannot listen on " + path_);
  }
  thread_ = std::thread([this] { Loop(); });
}

Agent::Agent() : Agent(Options{}) {}

Agent::~Agent() { Stop(); }

void Agent::Stop() {
  if (!thread_.joinable()) return;
  (void)!write(stop_[1], "x", 1);
  thread_.join();
  close(listener_);
  close(stop_[0]);
  close(stop_[1]);
  unlink(path_.c_str());
}

void Agent::Reply(Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = std::move(handler);
}

void Agent::ReplyFields(const Bytes &fields) {
  Reply([fields](const Bytes &frame) { return Answers{Frame(FrameType(frame), fields)}; });
}

Bytes Agent::Received() {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}
std::vector<Bytes> Agent::Frames() {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}
struct ucred Agent::Creds() {
  std::lock_guard<std::mutex> lock(mu_);
  return creds_;
}
int Agent::Connections() {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

std::vector<Bytes> Agent::WaitFrames(size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, std::chrono::milliseconds(kBoundMs), [&] { return frames_.size() >= n; });
  return frames_;
}

int Agent::Count(uint16_t type) {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const Bytes &f : frames_) n += FrameType(f) == type;
  return n;
}

void Agent::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  frames_.clear();
  received_.clear();
}

bool Agent::AwaitIdle() {
  // Accepting and closing happen under the lock, so a connection is always
  // either queued on the listener or counted.
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  std::unique_lock<std::mutex> lock(mu_);
  auto idle = [this] {
    struct pollfd p = {listener_, POLLIN, 0};
    return poll(&p, 1, 0) == 0 && accepted_ == closed_;
  };
  while (!idle()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    changed_.wait_for(lock, std::chrono::milliseconds(1));
  }
  return true;
}

// Sends the next answer; false when the connection is to be closed.
bool Agent::Deliver(Conn &c) {
  if (c.answers.empty()) return true;
  Bytes next = std::move(c.answers.front());
  c.answers.pop_front();
  if (next == kHangUp) return false;
  SendAll(c.fd, next);
  return c.answers.empty() || c.answers.front() != kHangUp;
}

// Handles the handshake and every whole frame received; false to close.
bool Agent::Consume(Conn &c) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!c.greeted) {
    if (c.in.size() < kHandshake) return true;
    c.in.erase(0, kHandshake);
    c.greeted = true;
    c.answers.assign(options_.welcome.begin(), options_.welcome.end());
    if (!Deliver(c)) return false;
  }
  while (c.in.size() >= kHeader) {
    uint32_t total = 0;
    memcpy(&total, c.in.data() + 4, 4);
    if (total < kHeader || total > kMaxFrame) return false;
    if (c.in.size() < total) return true;
    frames_.push_back(c.in.substr(0, total));
    c.in.erase(0, total);
    changed_.notify_all();
    if (c.answers.empty()) {
      Answers a = handler_(frames_.back());
      c.answers.assign(a.begin(), a.end());
    }
    if (!Deliver(c)) return false;
  }
  return true;
}

void Agent::Loop() {
  std::list<Conn> conns;
  for (;;) {
    std::vector<struct pollfd> fds = {{stop_[0], POLLIN, 0},
                                      {listener_, static_cast<short>(options_.accept ? POLLIN : 0), 0}};
    for (const Conn &c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), kBoundMs) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      std::lock_guard<std::mutex> lock(mu_);
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
        conns.push_back(Conn{fd});
        ++accepted_;
        changed_.notify_all();
      }
    }
    auto it = conns.begin();
    for (size_t i = 2; i < fds.size(); ++i, ++it) {
      if (fds[i].revents == 0) continue;
      char buf[4096];
      alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))];
      struct iovec iov = {buf, sizeof buf};
      struct msghdr mh = {};
      mh.msg_iov = &iov;
      mh.msg_iovlen = 1;
      mh.msg_control = control;
      mh.msg_controllen = sizeof control;
      ssize_t n = recvmsg(it->fd, &mh, MSG_DONTWAIT);
      bool keep = n > 0 || (n < 0 && errno == EAGAIN);
      if (n > 0) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          struct cmsghdr *cm = CMSG_FIRSTHDR(&mh);
          if (cm != nullptr && cm->cmsg_type == SCM_CREDENTIALS)
            memcpy(&creds_, CMSG_DATA(cm), sizeof creds_);
          received_.append(buf, static_cast<size_t>(n));
        }
        it->in.append(buf, static_cast<size_t>(n));
        keep = Consume(*it);
      }
      if (!keep) {
        std::lock_guard<std::mutex> lock(mu_);
        close(it->fd);
        it->fd = -1;
        ++closed_;
        changed_.notify_all();
      }
    }
    conns.remove_if([](const Conn &c) { return c.fd < 0; });
  }
  for (const Conn &c : conns) close(c.fd);
}

}  // namespace vxtest
