// Helpers for tests of the client log, the client context and what is
// built on them.
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

// A temporary directory with an emergency log file and the path of an
// agent's socket.
struct ContextFiles {
  TempDir dir;
  std::string emergency = dir.write("emergency.log", "");
  std::string socket = dir.file("agent.sock");

  // Initialises `context` like the command does, from a configuration file
  // naming the emergency file (key "vxaccounts") and the socket, plus
  // `extra` lines (loaded without the ownership checks, which a test file
  // cannot pass).
  void Init(ClientContext *context, const std::string &extra, const char *default_level = "info") const {
    std::string text =
        "vxaccounts: file " + emergency + "\nvxagent.clients.socket2: " + socket + "\n" + extra;
    Properties *props =
        LoadPropertiesWithoutSecurity(dir.write("vorlex.conf", text).c_str(), nullptr, nullptr);
    InitClientContext(context, props, nullptr, "vxaccounts", CLIENT_DEFAULT_EMERGENCY_LOG, "log.vxaccounts",
                      default_level);
  }

  // A client log of the process "proc" with the emergency file and the socket.
  ClientLog *NewLog(uint32_t threshold, uint32_t timeout = 2) const {
    const std::string destination = "file " + emergency;
    return NewClientLog("proc", destination.c_str(), threshold, socket.c_str(), timeout, timeout,
                        GetMsgTypeTable(), nullptr);
  }

  // Records of the emergency file ("LEVEL: text"), written by `ident` in
  // this process.
  std::vector<std::string> Records(const std::string &ident = program_invocation_short_name) const {
    return EmergencyRecords(ReadFile(emergency), ident + "[" + std::to_string(getpid()) + "]");
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
