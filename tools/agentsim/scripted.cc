#include "scripted.h"

#include <sys/eventfd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "client_common/lrpc2.h"

namespace agentsim {
namespace {

constexpr auto kBound = std::chrono::seconds(5);
constexpr auto kRetry = std::chrono::milliseconds(1);
constexpr size_t kWordSize = sizeof(uint32_t);

uint16_t FrameType(const std::string &frame) {
  uint16_t type = 0;
  if (frame.size() >= LRPC_HEADER_SIZE + sizeof type)
    std::memcpy(&type, frame.data() + LRPC_HEADER_SIZE, sizeof type);
  return type;
}

// The answers up to the first kHangUp; `close` when there is one.
Script::Answer ToAnswer(const ScriptedAgent::Answers &answers) {
  Script::Answer out;
  for (const std::string &bytes : answers) {
    out.close = bytes == ScriptedAgent::kHangUp;
    if (out.close) break;
    out.frames.push_back(bytes);
  }
  return out;
}

}  // namespace

const ScriptedAgent::Bytes ScriptedAgent::kHangUp = "\xff<hang up>";

ScriptedAgent::ScriptedAgent(std::string path, Answers welcome, const std::vector<std::string> &faults)
    : path_(std::move(path)),
      welcome_(std::move(welcome)),
      server_(std::make_unique<Server>(services_)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  std::string error = "no eventfd";
  for (const std::string &fault : faults)
    if (!faults_.Add(fault, &error)) throw std::runtime_error("scripted agent: " + error);
  if (!wake_ || !server_->Listen(path_, &error)) throw std::runtime_error("scripted agent: " + error);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedAgent::~ScriptedAgent() { Stop(); }

void ScriptedAgent::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  Wake();
  thread_.join();
  server_.reset();
}

void ScriptedAgent::Wake() {
  const uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

// Serves until stopped; between runs it answers the questions asked by
// AwaitIdle, when no connection is half accepted.
void ScriptedAgent::Serve() {
  for (;;) {
    server_->Run(wake_.get());
    uint64_t count = 0;
    (void)!::read(wake_.get(), &count, sizeof count);
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    idle_ = server_->Idle();
    answered_ = asked_;
    changed_.notify_all();
  }
}

void ScriptedAgent::Received(std::string_view bytes, const Credentials *sender) {
  std::lock_guard<std::mutex> lock(mu_);
  if (sender != nullptr) creds_ = *sender;
  received_.append(bytes);
  if (bytes.size() > kWordSize) frames_.emplace_back(bytes);
  changed_.notify_all();
}

Script::Answer ScriptedAgent::Respond(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (bytes.size() == kWordSize) {  // a handshake word; frames are longer
    ++greeted_;
    return ToAnswer(welcome_);
  }
  return handler_ ? ToAnswer(handler_(Bytes(bytes))) : Answer{};
}

void ScriptedAgent::Reply(Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = std::move(handler);
}

ScriptedAgent::Bytes ScriptedAgent::Received() {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

std::vector<ScriptedAgent::Bytes> ScriptedAgent::Frames() {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

Credentials ScriptedAgent::Creds() {
  std::lock_guard<std::mutex> lock(mu_);
  return creds_;
}

int ScriptedAgent::Connections() {
  std::lock_guard<std::mutex> lock(mu_);
  return greeted_;
}

std::vector<ScriptedAgent::Bytes> ScriptedAgent::WaitFrames(size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, kBound, [&] { return frames_.size() >= n; });
  return frames_;
}

int ScriptedAgent::Count(uint16_t type) {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const Bytes &frame : frames_) n += FrameType(frame) == type;
  return n;
}

void ScriptedAgent::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  frames_.clear();
  received_.clear();
}

bool ScriptedAgent::AwaitIdle() {
  const auto end = std::chrono::steady_clock::now() + kBound;
  std::unique_lock<std::mutex> lock(mu_);
  while (thread_.joinable()) {
    const uint64_t question = ++asked_;
    Wake();
    if (!changed_.wait_until(lock, end, [&] { return answered_ >= question; })) return false;
    if (idle_) return true;
    changed_.wait_for(lock, kRetry);
  }
  return true;
}

}  // namespace agentsim
