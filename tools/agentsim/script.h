// The hook through which a program that runs the agent inside itself (a test
// or a benchmark) sees what arrives and answers in place of the handlers,
// with any bytes at all: a damaged frame, a wrong handshake word, nothing.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace agentsim {

// The sender of a frame, from the SCM_CREDENTIALS that came with it.
struct Credentials {
  pid_t pid;
  uid_t uid;
  gid_t gid;
};

class Script {
 public:
  // The bytes sent back: frames[0] at once, each later one when the peer's
  // next frame (a challenge's answer) arrives; the connection is closed
  // after the last one when `close` is set (at once when there is none).
  struct Answer {
    std::vector<std::string> frames;
    bool close = false;
  };

  virtual ~Script() = default;
  // Every handshake word and whole frame received, in order, with its
  // sender when the credentials came along. Runs on the serving thread.
  virtual void Received(std::string_view bytes, const Credentials *sender) = 0;
  // The answer to a handshake word or a request frame. Runs on the serving
  // thread.
  virtual Answer Respond(std::string_view bytes) = 0;
};

}  // namespace agentsim
