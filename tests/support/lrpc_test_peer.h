// A minimal LRPC2 agent for unit tests: listens on a Unix socket, serves one
// connection (handshake, then one reply per request) on its own thread, and
// keeps the bytes of every request it read. Every wait is bounded, so a
// client that never comes makes the peer give up instead of hanging.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

// Builds a message body: type, fields, end mark (host byte order).
class MsgBody {
 public:
  explicit MsgBody(uint16_t type);
  MsgBody &Bool(bool value);
  MsgBody &Int(int32_t value);
  MsgBody &UInt(uint32_t value);
  MsgBody &String(const std::string &value);
  MsgBody &StringSet(const std::vector<std::string> &values);
  // The body with its end mark.
  std::string End() const;

 private:
  std::string bytes_;
};

class LrpcTestPeer {
 public:
  // Serves one connection on `path`. For each entry of `replies` it reads one
  // request frame and answers with that body (framed here); an empty entry
  // means no answer (a one-way request).
  LrpcTestPeer(const std::string &path, std::vector<std::string> replies);
  ~LrpcTestPeer();
  LrpcTestPeer(const LrpcTestPeer &) = delete;
  LrpcTestPeer &operator=(const LrpcTestPeer &) = delete;

  // Waits for the peer to finish; then the bodies of the requests it read
  // (each without its 8-byte frame header).
  const std::vector<std::string> &Requests();

 private:
  void Serve();

  int listen_fd_ = -1;
  std::vector<std::string> replies_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace vxtest
