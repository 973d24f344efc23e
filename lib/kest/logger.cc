// Named per-thread loggers with configured thresholds, writing to syslog.
#include "kest/logger.h"

#include <stdarg.h>
#include <stdio.h>
#include <strings.h>
#include <syslog.h>

#include <map>
#include <mutex>
#include <vector>

#include "kest/internal.h"
#include "kest/properties.h"
#include "kest/text.h"

namespace kest {
namespace {

struct LevelRow {
  const char *name;
  int level;
  int priority;  // syslog priority of records at this level
};

constexpr LevelRow kLevels[] = {
    {"TRACE", Logger::TRACE, LOG_DEBUG},       {"DEBUG", Logger::DEBUG, LOG_DEBUG},
    {"INFO", Logger::INFO, LOG_INFO},          {"WARN", Logger::WARNING, LOG_WARNING},
    {"WARNING", Logger::WARNING, LOG_WARNING}, {"ERROR", Logger::ERROR, LOG_ERR},
    {"FATAL", Logger::FATAL, LOG_CRIT},
};

constexpr int kDefaultThreshold = Logger::INFO;
constexpr const char kLevelKeyRoot[] = "log";

const LevelRow *RowOfLevel(int level) {
  for (const LevelRow &row : kLevels) {
    if (row.level == level) return &row;
  }
  return nullptr;
}

// syslog keeps the ident pointer, so the name lives as long as the process.
void OpenSyslogOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    static std::string ident;
    if (progname().empty()) detect_progname();
    ident = progname();
    openlog(ident.c_str(), LOG_PID, LOG_USER);
  });
}

std::string FormatText(const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  std::vector<char> text(static_cast<size_t>(needed) + 1);
  (void)vsnprintf(text.data(), text.size(), format, args);
  return std::string(text.data(), static_cast<size_t>(needed));
}

}  // namespace

namespace internal {

int ParseLevelName(const std::string &name) {
  for (const LevelRow &row : kLevels) {
    if (strcasecmp(row.name, name.c_str()) == 0) return row.level;
  }
  return -1;
}

// "log.<name>", then each shorter dotted prefix down to "log": the first key
// present decides; a name it gives that is not a level counts as INFO.
int ConfiguredThreshold(Properties &props, const std::string &name) {
  std::string key = name.empty() ? std::string(kLevelKeyRoot) : std::string(kLevelKeyRoot) + "." + name;
  props.lock().doLock();
  int threshold = kDefaultThreshold;
  for (;;) {
    if (props.contains(key)) {
      int level = ParseLevelName(props.get(key));
      threshold = level >= 0 ? level : kDefaultThreshold;
      break;
    }
    size_t dot = key.rfind('.');
    if (dot == std::string::npos) break;
    key.erase(dot);
  }
  props.lock().unLock();
  return threshold;
}

}  // namespace internal

Logger::Logger(std::string name, int threshold, int secondThreshold)
    : name_(std::move(name)), threshold_(threshold), secondThreshold_(secondThreshold) {}

std::shared_ptr<Logger> Logger::GetThreadPrivateLogger(const std::string &name) {
  thread_local std::map<std::string, std::shared_ptr<Logger>> loggers;
  auto found = loggers.find(name);
  if (found != loggers.end()) return found->second;
  int threshold = internal::ConfiguredThreshold(Props(false, false), name);
  auto logger = std::make_shared<Logger>(name, threshold, UNSET);
  loggers.emplace(name, logger);
  return logger;
}

bool Logger::isEnabled(int level) const {
  return (threshold_ != UNSET && threshold_ <= level) ||
         (secondThreshold_ != UNSET && secondThreshold_ <= level);
}

void Logger::log(int level, const char *file, int line, const char *function, const char *format, ...) const {
  if (!isEnabled(level) || format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatText(format, args);
  va_end(args);
  const LevelRow *row = RowOfLevel(level);
  OpenSyslogOnce();
  syslog(LOG_USER | (row != nullptr ? row->priority : LOG_NOTICE), "%s %s %s:%d %s: %s", name_.c_str(),
         row != nullptr ? row->name : "LEVEL", file != nullptr ? file : "?", line,
         function != nullptr ? function : "?", text.c_str());
}

}  // namespace kest
