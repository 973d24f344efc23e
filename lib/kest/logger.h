// Per-thread named loggers that write to syslog.
//
// A logger has two thresholds. The first comes from the configuration: the
// level named by "log.<logger name>", else by the key of each shorter dotted
// prefix ("log.cli.vxaccounts", "log.cli", then "log"), else INFO. The second
// is unset (-1). A record of level L is written when a threshold that is set
// is at most L. Callers test isEnabled() first, so that nothing is formatted
// for a level that is off.
//
// Records go to syslog (facility user) under the program's short name, with
// a priority that follows the level; never to standard output or error.
#pragma once

#include <memory>
#include <string>

#include "kest/api.h"

namespace kest {

// The logger of the library's own records, such as a refused agent peer.
inline constexpr char KEST_LOGGER[] = "kest";

class KEST_API Logger {
 public:
  enum LogLevel { TRACE = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4, FATAL = 5 };
  static constexpr int UNSET = -1;

  // The calling thread's logger of that name, created on first use.
  static std::shared_ptr<Logger> GetThreadPrivateLogger(const std::string &name);

  Logger(std::string name, int threshold, int secondThreshold);

  bool isEnabled(int level) const;
  // One record: `file` is the caller's source name, `function` its function.
  void log(int level, const char *file, int line, const char *function, const char *format, ...) const
      __attribute__((format(printf, 6, 7)));

  const std::string &name() const { return name_; }
  int threshold() const { return threshold_; }
  int secondThreshold() const { return secondThreshold_; }

 private:
  std::string name_;
  int threshold_;
  int secondThreshold_;
};

}  // namespace kest
