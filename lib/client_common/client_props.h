/* Client property access: configuration reads of a client program.
 *
 * Both accessors read the configuration set held by a ClientContext (which
 * may be null: every read then gives its default), trace each read in the
 * context's client log at TRACE and report a failed read there at ERROR
 * instead of through a status. Failure messages always name the main
 * configuration file, CLIENT_CONF_PATH.
 */
#ifndef VX_CLIENT_COMMON_CLIENT_PROPS_H
#define VX_CLIENT_COMMON_CLIENT_PROPS_H

#include <stdint.h>

#include "client_common/client_context.h"
#include "util/vx_api.h"

VX_BEGIN_DECLS

/* The processed value of `key` (owned by the configuration set, valid until
 * it is freed), or `default_value` when the key is absent; null when the
 * value could not be processed (an unreadable include file, exhausted
 * memory). */
VX_API const char *ClientGetProperty(ClientContext *context, const char *key, const char *default_value);

/* The time span of `key` in seconds, or default_amount times the factor of
 * default_unit ('s', 'm', 'h', ...) when the key is absent or not a time;
 * 0 when the value could not be processed. */
VX_API int32_t ClientGetPropertyTime(ClientContext *context, const char *key, char default_unit,
                                     int32_t default_amount);

VX_END_DECLS

#endif
