// Misbehaviour on command.
//
// Each --fault option is SCOPE:KIND[=ARG]; SCOPE is a message type number,
// `any` (every request type) or `handshake`. The rules are kept in option
// order; for one request the `any` rules apply first and the rules naming its
// type after them, so a rule for the type overrides an `any` rule of the
// same kind, and a later rule overrides an earlier one.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agentsim {

// How a reply frame is damaged before it is sent.
enum class ReplyForm {
  kNormal,
  kCloseMid,     // first half of the frame, then close
  kBadMagic,     // magic 0xDEADBEEF
  kShortLength,  // header announces 4 bytes
  kHugeLength,   // header announces 0x7FFFFFF0 bytes, then close
  kInvalidBody,  // a field tag 9 before the end mark
  kNoFields,     // type and end mark only
  kWrongKinds,   // every field sent as a STRING
};

// What to do with one request.
struct FaultPlan {
  std::chrono::milliseconds delay{0};
  std::chrono::milliseconds trickle{0};    // the reply goes out one byte per this pause
  std::chrono::milliseconds slow_read{0};  // the request body is read one byte per this pause
  bool silent = false;                     // no reply at all
  bool close = false;                      // close right after reading the request
  bool exit = false;                       // stop the agent once this request is done
  bool disabled = false;                   // 111 answers false
  uint32_t challenges = 0;
  std::optional<int32_t> status;  // replaces the status/result of 112, 113, 114, 901
  ReplyForm form = ReplyForm::kNormal;
};

// What to do with the handshake word of a new connection.
struct HandshakePlan {
  std::chrono::milliseconds delay{0};
  std::chrono::milliseconds trickle{0};  // the answer goes out one byte per this pause
  bool silent = false;
  bool close = false;
  std::optional<uint32_t> refuse;  // word sent instead of the welcome
};

class Faults {
 public:
  // Adds one rule; false with a reason in *error for a malformed one.
  bool Add(std::string_view fault_text, std::string *error);

  FaultPlan ForRequest(uint32_t type) const;
  HandshakePlan ForHandshake() const;

  struct Rule {
    enum class Scope { kAny, kType, kHandshake } scope;
    uint32_t type;
    size_t kind;  // row of the kind table
    int64_t arg;  // milliseconds for delays, the number otherwise
  };

 private:
  std::vector<Rule> rules_;
};

}  // namespace agentsim
