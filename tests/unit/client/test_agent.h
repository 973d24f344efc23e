// An in-process stand-in for the agent: a listening Unix-domain socket served
// by a thread. It answers the handshake, records every frame it receives and
// answers each with a reply of the request's type (or stays silent).
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_common/msg.h"

namespace vxtest {

class TestAgent {
 public:
  // Listens at `path` (created; removed again by Stop).
  explicit TestAgent(std::string path);
  ~TestAgent();
  TestAgent(const TestAgent &) = delete;
  TestAgent &operator=(const TestAgent &) = delete;

  // Closes the listener and every connection and waits for the thread.
  void Stop();
  // While silent, frames are recorded but not answered.
  void SetSilent(bool silent);
  // Body (type, fields, MDT_END) of every reply; empty: echo the type only.
  void SetReplyBody(std::string body);

  // Waits (bounded) until at least `n` frames have arrived; returns all.
  std::vector<std::string> WaitFrames(size_t n, int timeout_ms = 5000);
  std::vector<std::string> Frames();
  int Connections();

 private:
  void Run();
  void Serve(int fd, std::string &pending, bool &greeted);
  std::string ReplyFor(const std::string &frame);

  std::string path_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> frames_;
  std::string reply_body_;
  bool silent_ = false;
  int connections_ = 0;
};

// One record of a ControlLog2 message.
struct LogRecord {
  uint32_t time = 0;
  bool has_process = false, has_file = false, has_function = false, has_text = false;
  std::string process;
  int32_t pid = 0;
  int32_t level = 0;
  std::string file;
  int32_t line = 0;
  std::string function;
  std::string text;
};

// Message type of a recorded frame.
uint32_t FrameType(const std::string &frame);
// Records of a ControlLog2 frame, the end record included; `status` receives
// the status of the read that ended the decoding (203 at a proper end).
std::vector<LogRecord> DecodeLogFrame(const std::string &frame, uint32_t *status);

}  // namespace vxtest
