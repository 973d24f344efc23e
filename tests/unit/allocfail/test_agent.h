// An in-process agent for the allocation sweeps: a Unix socket in a private
// directory, served by one thread that handles any number of connections at
// once (the client context keeps two open: its own and its log's). It
// answers the handshake and every request frame at once, so a client never
// waits on it; a client that goes away mid-exchange is simply dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace allocfail {

// Replies by request type:
//   111  INT 0, BOOL 1               113  INT 0, STRINGSET alice bob carol
//   112  challenged kChallenges times (type 3 frames), then INT 0
//   107  an empty ControlLog2 frame  one-way types (1200)  nothing
//   3    the next challenge or the reply it was standing in for
//   any other type: an empty frame of the same type
class TestAgent {
 public:
  static constexpr int kChallenges = 2;

  TestAgent();
  ~TestAgent();
  TestAgent(const TestAgent &) = delete;
  TestAgent &operator=(const TestAgent &) = delete;

  const std::string &path() const { return path_; }
  // ControlLog2 frames received so far.
  int log_frames() const { return log_frames_.load(); }
  // Waits (bounded) until the agent holds no connection and none waits to
  // be accepted, so that counting this process's descriptors is exact.
  bool AwaitIdle() const;

 private:
  void Loop();

  vxtest::TempDir dir_;
  std::string path_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::atomic<int> log_frames_{0};
  // Accepting and counting happen under the lock, so that a connection is
  // always either waiting on the listener or counted in accepted_.
  mutable std::mutex accept_lock_;
  mutable std::condition_variable changed_;
  long accepted_ = 0;
  long closed_ = 0;
  std::thread thread_;
};

}  // namespace allocfail
