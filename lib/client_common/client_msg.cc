#include "client_common/client_msg.h"

#include <stdlib.h>

#include "client_common/cleanup_list.h"
#include "client_common/client_unlisted.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"

namespace {

const char *Text(const char *text) { return text != nullptr ? text : "(null)"; }

void ReleaseMsg(void *msg) { MsgFree(static_cast<Msg *>(msg)); }

// Registers `msg` for release with the context, creating the list on first
// use. A message the list cannot take (no memory for a block) is kept in the
// library's table of unlisted messages, released with the context's
// messages; the message is handed out either way, so the caller's flow does
// not change. False only when that table is full too: the caller still owns
// the message.
bool Register(ClientContext *context, Msg *msg) {
  if (msg == nullptr) return true;
  if (context->messages == nullptr) context->messages = NewCleanupList();
  if (CleanupListAdd(context->messages, ReleaseMsg, msg) != 0) return true;
  return vx_client::KeepUnlisted(context, msg);
}

// Whether a transaction that failed with `status` left the session's byte
// stream where it was: only these failures come before anything is written.
bool StreamUntouched(uint32_t status) { return status == LRPC_ERR_BAD_MSG || status == LRPC_ERR_BAD_SESSION; }

// Reports a failed exchange of `request` and releases every message of the
// context.
Msg *ExchangeFailed(ClientContext *context, const Msg *request, uint32_t status) {
  uint32_t type = 0;
  MsgGetType(request, &type);
  CLIENT_LOG(context->log, LOG_LEVEL_WARNING, CLIENT_MSG_LOG_SOURCE,
             "Failed to send message: %s, MsgType: %d.", Text(LRPC2Err2Str(status)), static_cast<int>(type));
  FreeClientMessages(context);
  return nullptr;
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
  if (msg != nullptr && !Register(context, msg)) {
    MsgFree(msg);
    msg = nullptr;
    status = MSG_ERR_NOMEM;
  }
  if (msg == nullptr) {
    CLIENT_LOG(context->log, LOG_LEVEL_WARNING, CLIENT_MSG_LOG_SOURCE, "Failed to allocate new message: %s",
               Text(MsgErr2Str(status)));
  }
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
    MsgFree(reply);
    if (!StreamUntouched(status)) {
      LRPC2Close(context->session);
      context->session = nullptr;
    }
    return ExchangeFailed(context, request, status);
  }
  if (!Register(context, reply)) {
    MsgFree(reply);
    return ExchangeFailed(context, request, LRPC_ERR_NOMEM);
  }
  TraceDump(context, "Reply", reply);
  return reply;
}
