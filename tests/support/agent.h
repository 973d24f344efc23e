// An in-process agent for tests that talk LRPC2: a listening Unix socket
// (in a private directory unless a path is given) served by one thread,
// any number of connections at once. It answers each handshake with
// `welcome` and each request frame with what the reply handler gives, and
// records the bytes (handshakes included) and frames it receives with the
// sender's credentials.
// Every wait on it is bounded.
#pragma once

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"
#include "wire.h"

namespace vxtest {

class Agent {
 public:
  // What a connection is sent, in turn: the first answer at once, each
  // later one when the next frame arrives (a challenge's answer, say).
  // kHangUp closes the connection right after the answer before it.
  using Answers = std::vector<Bytes>;
  using Handler = std::function<Answers(const Bytes &frame)>;
  static const Bytes kHangUp;

  struct Options {
    std::string path = {};       // empty: agent.sock in a private directory
    Answers welcome = {U32(1)};  // answer to the handshake
    bool accept = true;          // false: connections wait in the listen queue
    int backlog = 16;
  };

  Agent();
  explicit Agent(Options options);
  ~Agent();
  Agent(const Agent &) = delete;
  Agent &operator=(const Agent &) = delete;

  const std::string &path() const { return path_; }
  // Replaces the reply handler; the default answers an empty frame of the
  // request's type.
  void Reply(Handler handler);
  // The reply to every request: `fields` in a frame of the request's type.
  void ReplyFields(const Bytes &fields);
  void Silent() {
    Reply([](const Bytes &) { return Answers{}; });
  }

  Bytes Received();             // every byte received, in order
  std::vector<Bytes> Frames();  // the whole request frames, in order
  struct ucred Creds();         // the credentials attached to them
  int Connections();            // accepted so far
  // Waits (bounded) until `n` frames arrived; returns all.
  std::vector<Bytes> WaitFrames(size_t n);
  // Frames of `type` received so far (no allocation).
  int Count(uint16_t type);
  // Forgets the frames and bytes received so far.
  void Clear();
  // Waits (bounded) until no connection is open or queued, so that counting
  // this process's descriptors is exact.
  bool AwaitIdle();
  // Closes the listener and every connection; the path is gone afterwards.
  void Stop();

 private:
  struct Conn;
  void Loop();
  bool Consume(Conn &c);
  bool Deliver(Conn &c);

  TempDir dir_;
  std::string path_;
  Options options_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable changed_;
  Handler handler_;
  Bytes received_;
  std::vector<Bytes> frames_;
  struct ucred creds_ {};
  int accepted_ = 0, closed_ = 0;
  std::thread thread_;
};

}  // namespace vxtest
