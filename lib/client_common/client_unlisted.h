/* Messages of a client context that its release list could not take (no
 * memory for a list block): a table of the library, keyed by the context,
 * that needs no memory of its own. NewClientMsg and Send put such a message
 * here so that it can still be handed out; FreeClientMessages releases it
 * with the context's other messages. Internal to the library, not exported.
 */
#ifndef VX_CLIENT_COMMON_CLIENT_UNLISTED_H
#define VX_CLIENT_COMMON_CLIENT_UNLISTED_H

#include "client_common/client_msg.h"

namespace vx_client {

/* Keeps `msg` for release with `context`'s messages. False when all
 * CLIENT_MSG_UNLISTED_MAX slots of the process are taken; the caller then
 * still owns `msg`. Safe from several threads, each with its own context. */
bool KeepUnlisted(const ClientContext *context, Msg *msg);

/* Releases (MsgFree) every message kept for `context` and frees its slots. */
void ReleaseUnlisted(const ClientContext *context);

/* Whether `msg` is kept for `context`. */
bool IsUnlisted(const ClientContext *context, const Msg *msg);

}  // namespace vx_client

#endif
