// Helpers for tests of the client context and what is built on it.
#pragma once

#include <string>
#include <vector>

#include "client_common/client_context.h"
#include "support/temp_dir.h"

namespace vxtest {

// A configuration file in a temporary directory whose emergency log is the
// file `emergency.log` next to it (key "vxaccounts"), plus `extra` lines.
struct ContextFiles {
  TempDir dir;
  std::string emergency = dir.write("emergency.log", "");
  std::string socket = dir.file("agent.sock");

  // Loads the configuration (without the ownership checks, which a test file
  // running as any user cannot pass) for InitClientContext.
  Properties *Load(const std::string &extra) const {
    std::string text = "vxaccounts: file " + emergency + "\nvxagent.clients.socket2: " + socket + "\n" + extra;
    std::string path = dir.write("vorlex.conf", text);
    uint32_t status = 0;
    return LoadPropertiesWithoutSecurity(path.c_str(), nullptr, &status);
  }

  // Initialises `context` like the command does, from `extra`.
  void Init(ClientContext *context, const std::string &extra, const char *default_level = "info") const {
    InitClientContext(context, Load(extra), nullptr, "vxaccounts", CLIENT_DEFAULT_EMERGENCY_LOG,
                      "log.vxaccounts", default_level);
  }

  std::string Emergency() const { return ReadFile(emergency); }

  // Lines of the emergency file without time stamp, ident and pid.
  std::vector<std::string> Records() const {
    std::vector<std::string> out;
    std::string all = Emergency();
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = all.substr(start, end - start);
      out.push_back(line.substr(line.find("] ") + 2));
    }
    return out;
  }
};

}  // namespace vxtest
