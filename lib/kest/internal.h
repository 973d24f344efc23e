// Pieces of the library that its own sources share and its tests reach;
// none of this is exported from libkest.so.
#pragma once

#include <stdarg.h>

#include <memory>
#include <string>
#include <vector>

#include "kest/properties.h"

namespace kest::internal {

// Loads a configuration file (an unreadable one gives an empty set).
std::unique_ptr<Properties> LoadConfiguration(const char *path, bool secure);

// The time span of `key` in seconds (a bare number counts in seconds), or
// `fallback` when the key is absent or its value is no time span. Takes the
// set's lock.
unsigned ConfiguredSeconds(Properties &props, const char *key, unsigned fallback);

// Level number of a level name in any case; -1 for an unknown name.
int ParseLevelName(const std::string &name);

// The configured first threshold of the logger `name` in `props`.
int ConfiguredThreshold(Properties &props, const std::string &name);

// Writes a DEBUG record through the logger KEST_LOGGER naming the peer that
// the latest session open of this thread refused, if it refused one.
void LogRefusedPeer(const std::string &path);

// One audit event, as SetAuditTrailEvent receives it.
struct AuditEvent {
  std::string suite;
  std::string category;
  int event = 0;
  std::string user;
  long pid = 0;
  std::vector<std::string> args;
};

// Reads the (tag, text) pairs after the process id up to AUDIT_ARG_END or
// an unknown tag.
std::vector<std::string> CollectAuditArgs(va_list args);

// Sends the event one-way to the agent's client socket at `path`; true when
// the message was written.
bool DeliverAuditEvent(const AuditEvent &event, const std::string &path);

// The syslog line written when the event cannot be delivered.
std::string AuditFallbackLine(const AuditEvent &event);

}  // namespace kest::internal
