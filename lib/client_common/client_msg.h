/* Client message wrapper: create and send requests through a ClientContext.
 *
 * NewClientMsg creates a request and registers it in the context's message
 * release list; Send completes the request, exchanges it with the agent over
 * the context's session and registers the reply. Callers never free what
 * they get from here: FreeClientMessages or FreeClientContext does. A
 * message the release list cannot take (no memory for a block) is still
 * handed out, and sent; it is kept in an unlisted slot of the context and
 * released with the list (see CLIENT_UNLISTED_MAX).
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

/* A building message of `type` with the transport's header reserved,
 * registered for release with the context; null (logged) when the type is
 * unknown or memory is exhausted. */
VX_API Msg *NewClientMsg(ClientContext *context, uint32_t type);

/* Completes `request` (made by NewClientMsg, fields appended) and exchanges
 * it over the context's session. Returns the reply, registered for release
 * with the context, or null:
 *  - the request could not be completed: it stays registered;
 *  - the exchange failed: every message registered with the context so far,
 *    this request included, is released (FreeClientMessages), so the caller
 *    must not touch any message obtained before;
 *  - the request type is one-way: no reply exists. */
VX_API Msg *Send(ClientContext *context, Msg *request);

VX_END_DECLS

#endif
