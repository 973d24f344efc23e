#include "faults.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace agentsim {
namespace {

constexpr uint32_t kMaxMessageType = 0xFFFF;
constexpr double kMaxDelaySeconds = 3600;
constexpr int64_t kMaxChallenges = 1000;

enum class Arg { kNone, kOptionalUInt, kSeconds, kCount, kInt32 };

struct KindRow {
  std::string_view name;
  Arg arg;
  void (*on_request)(FaultPlan &, int64_t);        // null: not for requests
  void (*on_handshake)(HandshakePlan &, int64_t);  // null: not for the handshake
};

constexpr KindRow kKinds[] = {
    {"refuse", Arg::kOptionalUInt, nullptr,
     [](HandshakePlan &p, int64_t a) { p.refuse = static_cast<uint32_t>(a); }},
    {"silent", Arg::kNone, [](FaultPlan &p, int64_t) { p.silent = true; },
     [](HandshakePlan &p, int64_t) { p.silent = true; }},
    {"delay", Arg::kSeconds, [](FaultPlan &p, int64_t a) { p.delay = std::chrono::milliseconds(a); },
     [](HandshakePlan &p, int64_t a) { p.delay = std::chrono::milliseconds(a); }},
    {"trickle", Arg::kSeconds, [](FaultPlan &p, int64_t a) { p.trickle = std::chrono::milliseconds(a); },
     [](HandshakePlan &p, int64_t a) { p.trickle = std::chrono::milliseconds(a); }},
    {"slow-read", Arg::kSeconds, [](FaultPlan &p, int64_t a) { p.slow_read = std::chrono::milliseconds(a); },
     nullptr},
    {"close", Arg::kNone, [](FaultPlan &p, int64_t) { p.close = true; },
     [](HandshakePlan &p, int64_t) { p.close = true; }},
    {"close-mid", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kCloseMid; }, nullptr},
    {"bad-magic", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kBadMagic; }, nullptr},
    {"short-length", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kShortLength; }, nullptr},
    {"huge-length", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kHugeLength; }, nullptr},
    {"invalid-body", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kInvalidBody; }, nullptr},
    {"no-fields", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kNoFields; }, nullptr},
    {"wrong-kinds", Arg::kNone, [](FaultPlan &p, int64_t) { p.form = ReplyForm::kWrongKinds; }, nullptr},
    {"challenge", Arg::kCount, [](FaultPlan &p, int64_t a) { p.challenges = static_cast<uint32_t>(a); },
     nullptr},
    {"status", Arg::kInt32, [](FaultPlan &p, int64_t a) { p.status = static_cast<int32_t>(a); }, nullptr},
    {"disabled", Arg::kNone, [](FaultPlan &p, int64_t) { p.disabled = true; }, nullptr},
    {"exit", Arg::kNone, [](FaultPlan &p, int64_t) { p.exit = true; }, nullptr},
};

bool ParseInt(std::string_view text, int64_t min, int64_t max, int64_t *out) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseSeconds(std::string_view text, int64_t *ms) {
  std::string copy(text);
  char *end = nullptr;
  double s = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !std::isfinite(s) || s < 0 || s > kMaxDelaySeconds) return false;
  *ms = std::llround(s * 1000);
  return true;
}

bool ParseArg(Arg kind, std::optional<std::string_view> text, int64_t *out) {
  *out = 0;
  switch (kind) {
    case Arg::kNone:
      return !text;
    case Arg::kOptionalUInt:
      return !text || ParseInt(*text, 0, std::numeric_limits<uint32_t>::max(), out);
    case Arg::kSeconds:
      return text && ParseSeconds(*text, out);
    case Arg::kCount:
      return text && ParseInt(*text, 0, kMaxChallenges, out);
    case Arg::kInt32:
      return text &&
             ParseInt(*text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), out);
  }
  return false;
}

bool ParseScope(std::string_view text, Faults::Rule *rule) {
  using Scope = Faults::Rule::Scope;
  rule->type = 0;
  if (text == "any") {
    rule->scope = Scope::kAny;
    return true;
  }
  if (text == "handshake") {
    rule->scope = Scope::kHandshake;
    return true;
  }
  int64_t type = 0;
  if (!ParseInt(text, 0, kMaxMessageType, &type)) return false;
  rule->scope = Scope::kType;
  rule->type = static_cast<uint32_t>(type);
  return true;
}

}  // namespace

bool Faults::Add(std::string_view fault_text, std::string *error) {
  const std::string quoted = "'" + std::string(fault_text) + "'";
  size_t colon = fault_text.find(':');
  Rule rule{};
  if (colon == std::string_view::npos || !ParseScope(fault_text.substr(0, colon), &rule)) {
    *error = "bad fault scope in " + quoted + " (a message type, any or handshake)";
    return false;
  }
  std::string_view kind = fault_text.substr(colon + 1);
  std::optional<std::string_view> arg;
  if (size_t eq = kind.find('='); eq != std::string_view::npos) {
    arg = kind.substr(eq + 1);
    kind = kind.substr(0, eq);
  }
  for (size_t i = 0; i < std::size(kKinds); ++i) {
    if (kKinds[i].name != kind) continue;
    bool handshake = rule.scope == Rule::Scope::kHandshake;
    if ((handshake ? kKinds[i].on_handshake == nullptr : kKinds[i].on_request == nullptr)) {
      *error = "fault kind '" + std::string(kind) + "' does not apply to this scope in " + quoted;
      return false;
    }
    if (!ParseArg(kKinds[i].arg, arg, &rule.arg)) {
      *error = "bad or missing argument in " + quoted;
      return false;
    }
    rule.kind = i;
    rules_.push_back(rule);
    return true;
  }
  *error = "unknown fault kind in " + quoted;
  return false;
}

FaultPlan Faults::ForRequest(uint32_t type) const {
  FaultPlan plan;
  for (const Rule &r : rules_) {
    if (r.scope == Rule::Scope::kAny) kKinds[r.kind].on_request(plan, r.arg);
  }
  for (const Rule &r : rules_) {
    if (r.scope == Rule::Scope::kType && r.type == type) kKinds[r.kind].on_request(plan, r.arg);
  }
  return plan;
}

HandshakePlan Faults::ForHandshake() const {
  HandshakePlan plan;
  for (const Rule &r : rules_) {
    if (r.scope == Rule::Scope::kHandshake) kKinds[r.kind].on_handshake(plan, r.arg);
  }
  return plan;
}

}  // namespace agentsim
