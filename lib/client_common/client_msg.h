/* Client message wrapper: create and send requests through a ClientContext.
 *
 * NewClientMsg creates a request and registers it in the context's message
 * release list; Send completes the request, exchanges it with the agent over
 * the context's session and registers the reply. Callers never free what
 * they get from here: FreeClientMessages or FreeClientContext does. A
 * message the release list cannot take (no memory for a block) is still
 * handed out, and sent: it is kept in a table of the library, outside the
 * context, and released with the context's messages (see
 * CLIENT_MSG_UNLISTED_MAX).
 *
 * Failures are logged at WARNING in the context's client log and reported by
 * a null result; at TRACE every request and reply is logged as a one-line
 * dump (MsgDump), which is produced only when TRACE is enabled.
 */
#ifndef VX_CLIENT_COMMON_CLIENT_MSG_H
#define VX_CLIENT_COMMON_CLIENT_MSG_H

#include <stdint.h>

#include "client_common/client_context.h"
#include "client_common/msg.h"
#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Source name carried by this module's log records. */
#define CLIENT_MSG_LOG_SOURCE "../lib/client_common/client_msg"

/* Messages that release lists could not take are kept in this many slots,
 * shared by every context of the process and freed as their contexts
 * release their messages. With every slot taken such a message is refused
 * as on exhausted memory (NewClientMsg and Send give null), so none is ever
 * lost unreleased. */
#define CLIENT_MSG_UNLISTED_MAX 8

/* A building message of `type` with the transport's header reserved,
 * registered for release with the context; null (logged) when the type is
 * unknown or memory is exhausted (CLIENT_MSG_UNLISTED_MAX). */
VX_API Msg *NewClientMsg(ClientContext *context, uint32_t type);

/* Completes `request` (made by NewClientMsg, fields appended) and exchanges
 * it over the context's session. Returns the reply, registered for release
 * with the context, or null:
 *  - the request could not be completed: it stays registered;
 *  - the exchange failed, or the reply could not be registered
 *    (CLIENT_MSG_UNLISTED_MAX): every message registered with the context so
 *    far, this request included, is released (FreeClientMessages), so the
 *    caller must not touch any message obtained before;
 *  - the request type is one-way: no reply exists.
 * A failed exchange that may have left the byte stream at an unknown place
 * (every failure but 406 and 411, which come before anything is written)
 * also closes the context's session and sets it to null, so that a late
 * reply is never read as the answer to another request; OpenLRPC2Session
 * then opens a new one. */
VX_API Msg *Send(ClientContext *context, Msg *request);

VX_END_DECLS

#endif
