// Harness of the whole-program tests. The test process enters its own mount
// namespace once, with empty tmpfs over /etc/vorlex, /var/vorlex and /var/log
// (a missing one is made inside an overlay of its parent, so the host never
// changes) and a private /dev whose /dev/log is a datagram socket read by the
// test. There it runs vxaccounts and vxagent-sim, every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/log_sink.h"
#include "support/temp_dir.h"

namespace vxe2e {

constexpr uid_t kNobody = 65534;
constexpr double kRunLimitSeconds = 60;  // a run still going then is killed
constexpr char kEmergencyLog[] = "/var/log/quarnel_client.log";

// Empty once inside the sandbox, else why it is unavailable.
const std::string &EnterSandbox();
// Empties the private directories, writes the configuration (root, `mode`)
// and an empty emergency log, and drops queued syslog datagrams.
void ResetState(const std::string &config, unsigned mode);

struct RunResult {
  int status = -1, signal = 0;  // exit status (128 + signal when one ended it)
  bool timed_out = false;
  pid_t pid = -1;
  double seconds = 0;
  std::string out, err;
  std::vector<vxtest::SyslogRecord> syslog;  // datagrams that reached /dev/log meanwhile
};

// How the command is started, beyond its arguments.
struct Launch {
  bool as_nobody = false;                  // real and effective user 65534
  int closed_fd = -1;                      // a standard descriptor the command starts without
  int out_fd = -1;                         // standard output on this descriptor (RunResult::out stays empty)
  std::vector<std::string> wrapper{};      // a command line that runs the command (PATH searched)
  std::function<void(pid_t)> meanwhile{};  // runs once the command is started
};

RunResult RunVxaccounts(const std::vector<std::string> &args, const Launch &launch);

// vxagent-sim on the standard sockets, serving a data directory of its own
// and recording into another (its own output goes to agent.log there).
class Agent {
 public:
  ~Agent() { Stop(false); }
  // Writes `files` (name, content) into its data directory, starts it and
  // waits (bounded) for its "ready" line: "" or what went wrong. With
  // `as_nobody` it runs as 65534 (an impostor): /var/vorlex becomes
  // writable for it (until the next ResetState) and its directories its own.
  std::string Start(const std::vector<std::pair<std::string, std::string>> &files,
                    const std::vector<std::string> &faults, bool as_nobody);
  // With `sync`, first lets it handle all sent before (a handshake on a fresh
  // connection passes its poll loop after it). Then SIGTERM and a bounded
  // wait: its exit status, -1 when it had to be killed.
  int Stop(bool sync);
  // A file of the record directory (requests.log, frames.log, log2.log,
  // audit.log, agent.log); empty when missing.
  std::string Record(const std::string &name) const { return vxtest::ReadFile(record_.file(name)); }

 private:
  vxtest::TempDir data_, record_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

// `count` passwd lines user10000, user10001...
std::string Users(int count);
// Backslash, tab and newline escapes (as the agent writes them) undone.
std::string Unescape(const std::string &field);
std::vector<std::string> Split(const std::string &text, char sep);
// The words joined by blanks, as the audit event shows the command line.
std::string Join(const std::vector<std::string> &words);
// Seconds since `start` on the steady clock.
double Since(std::chrono::steady_clock::time_point start);
template <typename... T>
std::string S(const T &...parts) {
  return (std::string() + ... + std::string(parts));
}

}  // namespace vxe2e
