#include "lrpc_test_peer.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vxtest {
namespace {

constexpr int kWaitMs = 10000;
constexpr uint32_t kMagic = 0xABCD8012u;
constexpr uint32_t kWelcome = 1;
constexpr size_t kHeader = 8;

template <typename T>
void Put(std::string &out, T value) {
  char raw[sizeof(T)];
  memcpy(raw, &value, sizeof(T));
  out.append(raw, sizeof(T));
}

bool ReadExactly(int fd, void *buffer, size_t length) {
  char *at = static_cast<char *>(buffer);
  while (length > 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return false;
    ssize_t got = read(fd, at, length);
    if (got <= 0) return false;
    at += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteExactly(int fd, const std::string &bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

MsgBody::MsgBody(uint16_t type) { Put<uint16_t>(bytes_, type); }

MsgBody &MsgBody::Bool(bool value) {
  bytes_.push_back(1);
  bytes_.push_back(value ? 1 : 0);
  return *this;
}

MsgBody &MsgBody::Int(int32_t value) {
  bytes_.push_back(2);
  Put<int32_t>(bytes_, value);
  return *this;
}

MsgBody &MsgBody::UInt(uint32_t value) {
  bytes_.push_back(3);
  Put<uint32_t>(bytes_, value);
  return *this;
}

MsgBody &MsgBody::String(const std::string &value) {
  bytes_.push_back(4);
  Put<uint32_t>(bytes_, static_cast<uint32_t>(value.size()));
  bytes_ += value;
  return *this;
}

MsgBody &MsgBody::StringSet(const std::vector<std::string> &values) {
  bytes_.push_back(7);
  Put<uint32_t>(bytes_, static_cast<uint32_t>(values.size()));
  for (const std::string &value : values) {
    Put<uint32_t>(bytes_, static_cast<uint32_t>(value.size()));
    bytes_ += value;
  }
  return *this;
}

std::string MsgBody::End() const { return bytes_ + std::string(1, '\0'); }

LrpcTestPeer::LrpcTestPeer(const std::string &path, std::vector<std::string> replies)
    : replies_(std::move(replies)) {
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listen_fd_, 4) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
  thread_ = std::thread([this] { Serve(); });
}

LrpcTestPeer::~LrpcTestPeer() {
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

const std::vector<std::string> &LrpcTestPeer::Requests() {
  if (thread_.joinable()) thread_.join();
  return requests_;
}

void LrpcTestPeer::Serve() {
  pollfd p{listen_fd_, POLLIN, 0};
  if (listen_fd_ < 0 || poll(&p, 1, kWaitMs) != 1) return;
  int fd = accept(listen_fd_, nullptr, nullptr);
  if (fd < 0) return;
  uint32_t hello = 0;
  if (ReadExactly(fd, &hello, sizeof hello)) {
    std::string welcome;
    Put<uint32_t>(welcome, kWelcome);
    WriteExactly(fd, welcome);
    for (const std::string &reply : replies_) {
      uint32_t header[2] = {0, 0};
      if (!ReadExactly(fd, header, sizeof header) || header[0] != kMagic || header[1] < kHeader) break;
      std::string body(header[1] - kHeader, '\0');
      if (!ReadExactly(fd, body.data(), body.size())) break;
      requests_.push_back(body);
      if (reply.empty()) continue;
      std::string frame;
      Put<uint32_t>(frame, kMagic);
      Put<uint32_t>(frame, static_cast<uint32_t>(kHeader + reply.size()));
      WriteExactly(fd, frame + reply);
    }
  }
  close(fd);
}

}  // namespace vxtest
