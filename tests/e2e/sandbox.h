// A private view of the fixed paths vxaccounts uses. The test process enters
// its own mount namespace once and mounts empty tmpfs over /etc/vorlex,
// /var/vorlex and /var/log (creating a missing one inside an overlay of its
// parent, so the host never changes) and gives the namespace its own /dev
// whose /dev/log is a datagram socket owned by the test, so syslog records
// of the command can be inspected.
#pragma once

#include <string>
#include <vector>

namespace vxe2e {

// Enters the sandbox once per process. Returns an empty string on success
// or the reason the sandbox is unavailable (not root, no namespaces, ...).
const std::string &EnterSandbox();

// Empties the private directories and writes a fresh configuration file
// (root, `config_mode`) plus an empty /var/log/quarnel_client.log.
void ResetState(const std::string &config, unsigned config_mode);

// One syslog datagram as received on /dev/log, e.g.
// "<85>Dec  6 07:18:51 vxaccounts[42]: text".
struct SyslogRecord {
  int priority = -1;
  std::string ident;  // "vxaccounts[42]" part before the colon
  std::string text;   // the message after "ident: "
  std::string raw;
};

// Descriptor of the /dev/log socket (non-blocking), -1 outside the sandbox.
int SyslogFd();
// Reads every datagram queued on /dev/log.
std::vector<SyslogRecord> DrainSyslog();
// Parses one datagram.
SyslogRecord ParseSyslog(const std::string &raw);

// Writes `content` to `path` (replaced) with `mode`, owned by root.
void WriteFileAs(const std::string &path, const std::string &content, unsigned mode);
// Whole file, or empty when it cannot be read.
std::string ReadWhole(const std::string &path);

}  // namespace vxe2e
