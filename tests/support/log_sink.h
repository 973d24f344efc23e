// Where the client log's fall-backs land, read back by tests: the lines of
// an emergency log file, and a private /dev whose /dev/log is a datagram
// socket of the test's own.
#pragma once

#include <string>
#include <vector>

namespace vxtest {

// The records of an emergency log file's text `content`, one per line
// "Mmm dd hh:mm:ss <who> LEVEL: text", as "LEVEL: text"; `who` is
// "ident[pid]". A line of another shape or writer is kept whole, so that a
// comparison with it fails visibly.
std::vector<std::string> EmergencyRecords(const std::string &content, const std::string &who);

// A datagram on /dev/log: "<priority>Mmm dd hh:mm:ss ident: text" (the time
// stamp optional, trailing newlines and NULs dropped); priority -1 and the
// whole datagram as `text` when it has another shape.
struct SyslogRecord {
  int priority = -1;
  std::string ident, text, raw;
};
SyslogRecord ParseSyslog(const std::string &raw);

// Enters a mount namespace of its own whose mounts stay away from the host
// (root only). False, with errno, when it cannot.
bool EnterMountNamespace();
// Inside such a namespace, makes /dev a tmpfs with null, zero, urandom and
// random bound from the real one, /dev/fd, and /dev/log bound to a new
// datagram socket (non-blocking, close-on-exec), which it returns; -1, with
// errno, on failure. `scratch` is an empty directory it may use meanwhile.
int PrivateDev(const std::string &scratch);

}  // namespace vxtest
