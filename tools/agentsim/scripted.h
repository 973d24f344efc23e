// The reference agent served by a thread of the calling process, with a
// script in place of its handlers: the peer that tests link to play any
// agent, from a well-behaved one to one that sends garbage or hangs up. It
// keeps every handshake word and frame it receives, with the sender's
// credentials. Every wait on it is bounded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "accounts.h"
#include "faults.h"
#include "handlers.h"
#include "record.h"
#include "script.h"
#include "server.h"
#include "unique_fd.h"

namespace agentsim {

class ScriptedAgent : private Script {
 public:
  using Bytes = std::string;
  // What a handshake or a request is answered with, in turn: the first at
  // once, each later one when the next frame arrives (a challenge's answer).
  // kHangUp closes the connection right after the answer before it.
  using Answers = std::vector<Bytes>;
  using Handler = std::function<Answers(const Bytes &frame)>;
  static const Bytes kHangUp;

  // Listens at `path` and serves from a thread of its own: each handshake
  // is answered with `welcome`, each request with nothing until Reply is
  // called. Of the `faults` (--fault rules) only those that pace the bytes
  // apply: trickle and slow-read. Throws std::runtime_error when it cannot
  // listen or a fault rule is malformed.
  ScriptedAgent(std::string path, Answers welcome, const std::vector<std::string> &faults = {});
  ~ScriptedAgent() override;
  ScriptedAgent(const ScriptedAgent &) = delete;
  ScriptedAgent &operator=(const ScriptedAgent &) = delete;

  const std::string &path() const { return path_; }
  // Replaces the reply handler; it runs on the serving thread.
  void Reply(Handler handler);

  Bytes Received();             // every handshake word and frame, in order
  std::vector<Bytes> Frames();  // the frames, in order
  Credentials Creds();          // the sender of the latest of them
  int Connections();            // handshakes received so far
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
  void Received(std::string_view bytes, const Credentials *sender) override;
  Answer Respond(std::string_view bytes) override;
  void Wake();
  void Serve();

  const std::string path_;
  const Answers welcome_;
  Faults faults_;
  Accounts accounts_{""};
  Recorder recorder_{""};
  Services services_{faults_, accounts_, recorder_, 0, this};
  std::unique_ptr<Server> server_;
  UniqueFd wake_;  // an eventfd: stops a Run of the server

  std::mutex mu_;
  std::condition_variable changed_;
  Handler handler_;
  Bytes received_;
  std::vector<Bytes> frames_;
  Credentials creds_{};
  int greeted_ = 0;
  bool stopping_ = false;
  bool idle_ = false;  // as the serving thread saw it for the question numbered answered_
  uint64_t asked_ = 0, answered_ = 0;
  std::thread thread_;
};

}  // namespace agentsim
