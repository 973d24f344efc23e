#include "client_common/client_msg.h"

#include <stdlib.h>

#include "client_common/cleanup_list.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"

namespace {

const char *Text(const char *text) { return text != nullptr ? text : "(null)"; }

void ReleaseMsg(void *msg) { MsgFree(static_cast<Msg *>(msg)); }

// Registers `msg` for release with the context, creating the list on first
// use. A message the list cannot take (no memory for a block) goes to a
// free unlisted slot of the context, released with the list; the message
// is handed out either way, so the caller's flow does not change.
void Register(ClientContext *context, Msg *msg) {
  if (msg == nullptr) return;
  if (context->messages == nullptr) context->messages = NewCleanupList();
  if (CleanupListAdd(context->messages, ReleaseMsg, msg) != 0) return;
  for (Msg *&slot : context->unlisted) {
    if (slot == nullptr) {
      slot = msg;
      return;
    }
  }
}

// Logs the dump of `msg` at TRACE; the dump is made only when TRACE is on.
// A record's text holds at most CLIENT_LOG_TEXT_SIZE - 1 characters, so
// the dump stops there: the record is the same as with the whole dump, and
// a huge message costs no more than that.
void TraceDump(ClientContext *context, const char *what, const Msg *msg) {
  if (!ClientLogEnabled(context->log, LOG_LEVEL_TRACE)) return;
  char *text = MsgDumpBounded(msg, CLIENT_LOG_TEXT_SIZE - 1);
  ClientLogWrite(context->log, LOG_LEVEL_TRACE, CLIENT_MSG_LOG_SOURCE, __LINE__, "Send", "%s: %s", what,
                 Text(text));
  free(text);
}

}  // namespace

Msg *NewClientMsg(ClientContext *context, uint32_t type) {
  if (context == nullptr) return nullptr;
  uint32_t status = 0;
  Msg *msg = NewMsg(type, context->msg_types, LRPC_HEADER_SIZE, &status);
  if (status != 0 || msg == nullptr) {
    CLIENT_LOG(context->log, LOG_LEVEL_WARNING, CLIENT_MSG_LOG_SOURCE, "Failed to allocate new message: %s",
               Text(MsgErr2Str(status)));
    MsgFree(msg);
    return nullptr;
  }
  Register(context, msg);
  return msg;
}

Msg *Send(ClientContext *context, Msg *request) {
  if (context == nullptr) return nullptr;
  uint32_t status = MsgComplete(request);
  if (status != 0) {
    CLIENT_LOG(context->log, LOG_LEVEL_WARNING, CLIENT_MSG_LOG_SOURCE, "Failed to complete message: %s",
               Text(MsgErr2Str(status)));
    return nullptr;
  }
  TraceDump(context, "Request", request);
  Msg *reply = LRPC2Transact(context->session, request, context->operation_timeout, &status);
  if (status != 0) {
    uint32_t type = 0;
    MsgGetType(request, &type);
    CLIENT_LOG(context->log, LOG_LEVEL_WARNING, CLIENT_MSG_LOG_SOURCE,
               "Failed to send message: %s, MsgType: %d.", Text(LRPC2Err2Str(status)),
               static_cast<int>(type));
    MsgFree(reply);
    FreeClientMessages(context);
    return nullptr;
  }
  Register(context, reply);
  TraceDump(context, "Reply", reply);
  return reply;
}
