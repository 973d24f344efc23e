// Running vxaccounts and vxagent-sim as child processes with bounded waits.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sandbox.h"

namespace vxe2e {

constexpr uid_t kNobody = 65534;

struct RunResult {
  int status = -1;        // exit status, or 128 + signal
  int signal = 0;         // the signal that ended the command, 0 when it exited
  bool timed_out = false; // killed after the limit
  pid_t pid = -1;         // the command's process id (as seen in its audit event)
  double seconds = 0;     // wall-clock time of the run
  std::string out, err;
  std::vector<SyslogRecord> syslog;  // datagrams that reached /dev/log meanwhile
};

// Runs `program` with `args` (argv[0] is the program path), as root or, with
// `as_nobody`, with real and effective ids 65534. Kills it after
// `limit_seconds` and reports timed_out.
RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     bool as_nobody, double limit_seconds);

// One vxagent-sim on the standard sockets, started by Start() and stopped by
// Stop() or the destructor.
class Agent {
 public:
  Agent() = default;
  ~Agent();
  Agent(const Agent &) = delete;
  Agent &operator=(const Agent &) = delete;

  // Starts the agent and waits (bounded) for its "ready" line. Returns an
  // empty string or what went wrong.
  std::string Start(const std::string &program, const std::string &data_dir,
                    const std::string &record_dir, const std::vector<std::string> &faults);
  // Waits until the agent has handled everything sent before this call: one
  // handshake on a fresh connection goes through its poll loop after them.
  void Sync(double limit_seconds);
  // SIGTERM, then a bounded wait; returns the exit status (-1 if it had to be killed).
  int Stop();
  bool running() const { return pid_ > 0; }
  const std::string &log_path() const { return log_path_; }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int out_fd_ = -1;
  std::string log_path_;
};

}  // namespace vxe2e
