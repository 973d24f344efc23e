// Helpers for tests of the client context and what is built on it.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_common/client_context.h"
#include "support/log_sink.h"
#include "support/secure_owner.h"
#include "support/temp_dir.h"

namespace vxtest {

// A configuration file in a temporary directory whose emergency log is the
// file `emergency.log` next to it (key "vxaccounts"), plus `extra` lines.
struct ContextFiles {
  TempDir dir;
  std::string emergency = dir.write("emergency.log", "");
  std::string socket = dir.file("agent.sock");

  // Initialises `context` like the command does, from `extra` (loaded
  // without the ownership checks, which a test file cannot pass).
  void Init(ClientContext *context, const std::string &extra, const char *default_level = "info") const {
    std::string text =
        "vxaccounts: file " + emergency + "\nvxagent.clients.socket2: " + socket + "\n" + extra;
    Properties *props =
        LoadPropertiesWithoutSecurity(dir.write("vorlex.conf", text).c_str(), nullptr, nullptr);
    InitClientContext(context, props, nullptr, "vxaccounts", CLIENT_DEFAULT_EMERGENCY_LOG, "log.vxaccounts",
                      default_level);
  }

  std::string Emergency() const { return ReadFile(emergency); }

  // Records of the emergency file ("LEVEL: text"), written by this process.
  std::vector<std::string> Records() const {
    return EmergencyRecords(
        Emergency(), std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) + "]");
  }
};

// A context whose records go straight to its emergency file.
struct DirectContext {
  ContextFiles files;
  ClientContext ctx;
  explicit DirectContext(const std::string &lines) {
    files.Init(&ctx, lines);
    ConfigureEmergencyLog(ctx.log);
  }
  ~DirectContext() { FreeClientContext(&ctx); }
  std::vector<std::string> Records() const { return files.Records(); }
};

}  // namespace vxtest
