// A scripted agent for tests that talk LRPC2: a listening Unix socket in a
// private directory, one connection served by a thread. Every wait of the
// peer is bounded, so joining it is bounded too.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace vxtest::agent {

using Bytes = std::string;
constexpr int kPeerBoundMs = 5000;

Bytes B(std::initializer_list<int> bytes);
Bytes U32(uint32_t v);
// A whole frame: magic, total length, type, fields, end mark.
Bytes Frame(uint16_t type, const Bytes &fields = {}, uint32_t magic = 0xABCD8012u);

// Reads exactly n bytes within the bound, appending to *out and recording
// the first SCM_CREDENTIALS seen; false on end of stream or time-out.
bool ReadExact(int fd, size_t n, Bytes *out, struct ucred *creds = nullptr);
// Reads one frame (header, then the announced rest).
bool ReadFrame(int fd, Bytes *out, struct ucred *creds = nullptr);
void Send(int fd, const Bytes &bytes);
// True once the peer closed (end of stream) within the bound.
bool AwaitEof(int fd);
// Spins (bounded) until the thread `tid` of this process is asleep.
void AwaitSleeping(pid_t tid);

struct Peer {
  TempDir dir;
  std::string path = dir.file("agent.sock");
  int listener = -1;
  Bytes hello;           // the handshake bytes received
  Bytes got;             // everything received after the handshake
  struct ucred creds{};  // credentials attached to `got`
  std::thread thread;

  explicit Peer(int backlog = 4);
  ~Peer();
  // Accepts one connection, answers the handshake with `welcome` unless it
  // is empty, then runs `script` and closes the connection.
  void Serve(const Bytes &welcome, std::function<void(Peer &, int)> script = {});
  void Join();
};

}  // namespace vxtest::agent
