// Audit events: one one-way message to the agent, or one syslog line.
#include "kest/audit.h"

#include <stdarg.h>
#include <string.h>
#include <syslog.h>

#include <memory>

#include "client_common/lrpc2.h"
#include "client_common/msg.h"
#include "client_common/msg_ptr.h"
#include "client_common/msg_types.h"
#include "kest/internal.h"
#include "kest/properties.h"

namespace kest {
namespace {

using vx::MsgPtr;

struct SessionCloser {
  void operator()(LRPC2Session *session) const { LRPC2Close(session); }
};

template <typename T>
void PutRaw(std::string &out, T value) {
  char bytes[sizeof(T)];
  memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

void PutCounted(std::string &out, const std::string &text) {
  PutRaw<uint32_t>(out, static_cast<uint32_t>(text.size()));
  out.append(text);
}

void PutStringField(std::string &out, const std::string &text) {
  out.push_back(static_cast<char>(MDT_STRING));
  PutCounted(out, text);
}

void PutIntField(std::string &out, int32_t value) {
  out.push_back(static_cast<char>(MDT_INT));
  PutRaw<int32_t>(out, value);
}

// The message layer builds no string sets, so the event's bytes are laid
// out here and handed to it as a received block, which it validates.
std::string EncodeAuditEvent(const internal::AuditEvent &event) {
  std::string out(LRPC_HEADER_SIZE, '\0');
  PutRaw<uint16_t>(out, static_cast<uint16_t>(MSGTYPE_AUDIT_TRAIL_EVENT));
  PutStringField(out, event.suite);
  PutStringField(out, event.category);
  PutIntField(out, event.event);
  PutStringField(out, event.user);
  PutIntField(out, static_cast<int32_t>(event.pid));
  out.push_back(static_cast<char>(MDT_STRINGSET));
  PutRaw<uint32_t>(out, static_cast<uint32_t>(event.args.size()));
  for (const std::string &arg : event.args) PutCounted(out, arg);
  out.push_back(static_cast<char>(MDT_END));
  return out;
}

std::string Quote(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
  }
  return out + "\"";
}

std::string AuditSocketPath() {
  Properties &props = Props(false, false);
  props.lock().doLock();
  std::string path = props.get(AUDIT_SOCKET_KEY, AUDIT_SOCKET_DEFAULT);
  props.lock().unLock();
  return path.empty() ? std::string(AUDIT_SOCKET_DEFAULT) : path;
}

}  // namespace

namespace internal {

std::vector<std::string> CollectAuditArgs(va_list args) {
  std::vector<std::string> texts;
  for (int tag = va_arg(args, int); tag == AUDIT_ARG_STRING; tag = va_arg(args, int)) {
    const char *text = va_arg(args, const char *);
    texts.emplace_back(text != nullptr ? text : "");
  }
  return texts;
}

bool DeliverAuditEvent(const AuditEvent &event, const std::string &path) {
  std::string bytes = EncodeAuditEvent(event);
  const MsgTypeTable *table = GetMsgTypeTable();
  uint32_t status = 0;
  MsgPtr message(NewMsgFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()), 1, table,
                                  LRPC_HEADER_SIZE, &status));
  if (message == nullptr) return false;
  std::unique_ptr<LRPC2Session, SessionCloser> session(
      LRPC2Open(path.c_str(), table, AUDIT_TIMEOUT, AUDIT_TIMEOUT, &status));
  if (session == nullptr) {
    LogRefusedPeer(path);
    return false;
  }
  MsgPtr reply(LRPC2Transact(session.get(), message.get(), AUDIT_TIMEOUT, &status));
  return status == 0;
}

std::string AuditFallbackLine(const AuditEvent &event) {
  std::string line = "audit event not delivered: suite=" + Quote(event.suite) +
                     " category=" + Quote(event.category) + " event=" + std::to_string(event.event) +
                     " user=" + Quote(event.user) + " pid=" + std::to_string(event.pid) + " args=";
  for (size_t i = 0; i < event.args.size(); ++i) line += (i == 0 ? "" : ",") + Quote(event.args[i]);
  return line;
}

}  // namespace internal

bool SetAuditTrailEvent(const char *suite, const char *category, int event, int, int, const char *user, int,
                        int, long pid, ...) {
  internal::AuditEvent audit;
  audit.suite = suite != nullptr ? suite : "";
  audit.category = category != nullptr ? category : "";
  audit.event = event;
  audit.user = user != nullptr ? user : "";
  audit.pid = pid;
  va_list args;
  va_start(args, pid);
  audit.args = internal::CollectAuditArgs(args);
  va_end(args);
  if (internal::DeliverAuditEvent(audit, AuditSocketPath())) return true;
  syslog(LOG_AUTHPRIV | LOG_NOTICE, "%s", internal::AuditFallbackLine(audit).c_str());
  return false;
}

}  // namespace kest
