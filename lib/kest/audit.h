// Audit events.
//
//   kest::SetAuditTrailEvent("Quarnel Suite", "Local Account Management", 2000, 0, 0,
//                            user, 0, 0, pid, kest::AUDIT_ARG_STRING, commandLine,
//                            kest::AUDIT_ARG_END);
//
// The event goes one-way (message type 1200) over a new session to the
// agent's client socket, the configuration key "vxagent.clients.socket2"
// (default /var/vorlex/daemon2), as the fields
//   MDT_STRING suite, MDT_STRING category, MDT_INT event, MDT_STRING user,
//   MDT_INT pid, MDT_STRINGSET the tagged texts in order.
// When the agent cannot be reached, or whoever listens at the socket is
// neither root nor this process's effective user, the event is written as
// one syslog line (facility authpriv, priority notice) instead.
#pragma once

#include "kest/api.h"

namespace kest {

// Tags of the values after the process id.
enum AuditArgTag { AUDIT_ARG_END = 0, AUDIT_ARG_STRING = 8 };

// The socket the events go to, and its default.
inline constexpr char AUDIT_SOCKET_KEY[] = "vxagent.clients.socket2";
inline constexpr char AUDIT_SOCKET_DEFAULT[] = "/var/vorlex/daemon2";
// Seconds allowed for opening the session (connect and handshake), and
// again for writing the event.
inline constexpr unsigned AUDIT_TIMEOUT = 5;

// The zero arguments are reserved. After `pid` come (tag, value) pairs: each
// AUDIT_ARG_STRING is followed by a text (const char *, null is taken as
// empty); AUDIT_ARG_END, or any tag this library does not know, ends the
// list. True when the event reached the agent's socket.
KEST_API bool SetAuditTrailEvent(const char *suite, const char *category, int event, int reserved1,
                                 int reserved2, const char *user, int reserved3, int reserved4, long pid,
                                 ...);

}  // namespace kest
