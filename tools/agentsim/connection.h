// One accepted client connection: handshake, then one frame at a time.
//
// The connection never blocks: it reads exactly the bytes of the step it is
// in (handshake word, frame header, frame body), so each frame's credentials
// are its own, and it writes what it owes as far as the socket takes it. A
// reply it has to hold back (delay fault), the pause between two bytes of a
// trickled answer and the pause between two bytes of a slowly read request
// wait for a deadline that the poll loop watches.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoded_set.h"
#include "faults.h"
#include "handlers.h"
#include "script.h"
#include "unique_fd.h"

namespace agentsim {

using Clock = std::chrono::steady_clock;

class Connection {
 public:
  Connection(UniqueFd fd, Services &services);

  int fd() const { return fd_.get(); }
  // Poll events wanted now (0 while holding back a reply).
  short Events() const;
  std::optional<Clock::time_point> Deadline() const;

  void OnEvents(short revents);
  void OnDeadline(Clock::time_point now);

  bool finished() const { return phase_ == Phase::kDone; }
  // True once a request with the `exit` fault has been dealt with.
  bool wants_exit() const { return finished() && exit_pending_; }

 private:
  // kDelay holds back what is to be written, kReadPause the next read.
  enum class Phase { kHello, kHeader, kBody, kIgnore, kReadPause, kDelay, kWrite, kDone };
  enum class Then { kRead, kClose };

  bool Reading() const;
  std::string_view Input() const;  // the bytes of the current step
  const Credentials *Sender() const { return credentials_ ? &*credentials_ : nullptr; }
  void StartRead(size_t total, Phase phase);
  ssize_t Receive(unsigned char *dst, size_t size);
  size_t ReadLimit() const;
  void PaceReading();
  void OnReadable();
  void OnWritable();
  ssize_t SendSome(bool one_byte);
  void Hold(Phase phase, std::chrono::milliseconds pause);
  void OnInputComplete();
  void OnHello();
  void OnHeader();
  void OnFrame();
  void NoteFrame(uint32_t type);
  void OnRequest(uint32_t type, Msg *request);
  void Play(Script::Answer answer, std::chrono::milliseconds trickle);
  void ContinueExchange();
  void Send(OutFrame bytes, Then then, std::chrono::milliseconds delay = {},
            std::chrono::milliseconds trickle = {});
  void AfterSend();
  void Drop(const char *reason);
  void Finish() { phase_ = Phase::kDone; }

  UniqueFd fd_;
  Services &services_;
  uint64_t number_;  // in the order of acceptance, from 1
  Phase phase_ = Phase::kHello;

  // The bytes of the current step received so far; it is complete at want_
  // bytes. The buffer grows only as bytes arrive, so an announced length
  // costs nothing until it is sent.
  std::vector<unsigned char> in_;
  size_t want_ = 0;
  std::chrono::milliseconds read_pace_{};  // slow-read: pause after each byte of the body
  std::optional<Credentials> credentials_;
  bool read_pace_known_ = false;  // the body's pace is set once its type is in

  // What is being written, and what follows once it is out.
  Then then_ = Then::kRead;
  OutFrame out_;
  size_t out_sent_ = 0;                     // of out_.size()
  std::chrono::milliseconds write_pace_{};  // trickle: pause after each byte written
  Clock::time_point deadline_;

  // The exchange under way: the frames still to send, one per frame
  // received (challenges), the reply last.
  bool awaiting_answer_ = false;
  bool exit_pending_ = false;
  Then after_reply_ = Then::kRead;
  std::deque<OutFrame> exchange_;
  std::chrono::milliseconds reply_delay_{0};
  std::chrono::milliseconds reply_trickle_{0};
};

}  // namespace agentsim
