#include "test_agent.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace allocfail {
namespace {

constexpr uint32_t kMagic = 0xABCD8012u;
constexpr uint32_t kWelcome = 1;
constexpr size_t kHeader = 8;
constexpr uint32_t kMaxFrame = 1u << 20;
constexpr uint16_t kChallengeType = 3;
constexpr uint16_t kLogType = 107;
constexpr uint16_t kOneWayType = 1200;
constexpr int kPollMs = 100;
constexpr int kIdleBoundMs = 2000;

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
std::string Tag(int tag) { return std::string(1, static_cast<char>(tag)); }
std::string Int(int32_t v) { return Tag(2) + U32(static_cast<uint32_t>(v)); }
std::string Bool(bool v) { return Tag(1) + std::string(1, v ? '\1' : '\0'); }
std::string Str(const std::string &s) { return Tag(4) + U32(static_cast<uint32_t>(s.size())) + s; }
std::string Set(const std::vector<std::string> &items) {
  std::string out = Tag(7) + U32(static_cast<uint32_t>(items.size()));
  for (const auto &s : items) out += U32(static_cast<uint32_t>(s.size())) + s;
  return out;
}

std::string Frame(uint16_t type, const std::string &fields = {}) {
  std::string body = std::string(reinterpret_cast<const char *>(&type), 2) + fields + Tag(0);
  return U32(kMagic) + U32(static_cast<uint32_t>(kHeader + body.size())) + body;
}

std::string ReplyTo(uint16_t type) {
  switch (type) {
    case 111: return Frame(type, Int(0) + Bool(true));
    case 112: return Frame(type, Int(0));
    case 113: return Frame(type, Int(0) + Set({"alice", "bob", "carol"}));
    default: return Frame(type);
  }
}

struct Conn {
  int fd = -1;
  bool greeted = false;
  std::string in;
  std::string pending;  // the reply a challenge stands in for
  int challenges_left = 0;
};

void SendAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string NextAnswer(Conn &c) {
  if (c.challenges_left > 0) {
    --c.challenges_left;
    return Frame(kChallengeType, Str("nonce"));
  }
  return c.pending;
}

// Handles one whole frame; false when the connection should be dropped.
bool HandleFrame(Conn &c, const std::string &frame, std::atomic<int> &log_frames) {
  uint16_t type = 0;
  memcpy(&type, frame.data() + kHeader, 2);
  if (type == kOneWayType) return true;
  if (type == kLogType) log_frames.fetch_add(1);
  if (type != kChallengeType) {
    c.pending = ReplyTo(type);
    c.challenges_left = type == 112 ? TestAgent::kChallenges : 0;
  }
  SendAll(c.fd, NextAnswer(c));
  return true;
}

// Consumes what arrived; false when the connection should be dropped.
bool Consume(Conn &c, std::atomic<int> &log_frames) {
  if (!c.greeted) {
    if (c.in.size() < 4) return true;
    c.in.erase(0, 4);
    c.greeted = true;
    SendAll(c.fd, U32(kWelcome));
  }
  while (c.in.size() >= kHeader) {
    uint32_t magic = 0, total = 0;
    memcpy(&magic, c.in.data(), 4);
    memcpy(&total, c.in.data() + 4, 4);
    if (magic != kMagic || total < kHeader + 3 || total > kMaxFrame) return false;
    if (c.in.size() < total) return true;
    std::string frame = c.in.substr(0, total);
    c.in.erase(0, total);
    if (!HandleFrame(c, frame, log_frames)) return false;
  }
  return true;
}

}  // namespace

TestAgent::TestAgent() : path_(dir_.file("agent.sock")) {
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listener_, 16) != 0 || pipe(stop_) != 0) {
    throw std::runtime_error("test agent cannot listen on " + path_);
  }
  thread_ = std::thread([this] { Loop(); });
}

TestAgent::~TestAgent() {
  (void)!write(stop_[1], "x", 1);
  thread_.join();
  close(stop_[0]);
  close(stop_[1]);
  close(listener_);
}

void TestAgent::Loop() {
  std::vector<Conn> conns;
  for (;;) {
    std::vector<struct pollfd> fds = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Conn &c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), kPollMs) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      std::lock_guard<std::mutex> guard(accept_lock_);
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      accepted_ += fd >= 0;
      changed_.notify_all();
      if (fd >= 0) {
        Conn c;
        c.fd = fd;
        conns.push_back(c);
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Conn &c = conns[i - 2];
      char buf[4096];
      ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      bool keep = n > 0 || (n < 0 && errno == EAGAIN);
      if (n > 0) {
        c.in.append(buf, static_cast<size_t>(n));
        keep = Consume(c, log_frames_);
      }
      if (!keep) {
        std::lock_guard<std::mutex> guard(accept_lock_);
        close(c.fd);
        c.fd = -1;
        ++closed_;
        changed_.notify_all();
      }
    }
    std::erase_if(conns, [](const Conn &c) { return c.fd < 0; });
  }
  for (const Conn &c : conns) close(c.fd);
}

bool TestAgent::AwaitIdle() const {
  // A connection still queued on the listener wakes the agent, which
  // accepts it (and later closes it) under the lock, notifying each time;
  // the short slices only re-test the listener in between.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleBoundMs);
  std::unique_lock<std::mutex> lock(accept_lock_);
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

}  // namespace allocfail
