// The reference agent in this process (tools/agentsim/scripted.h), listening
// in a private directory unless a path is given. Unless told otherwise it
// answers each request with an empty frame of the request's type.
#pragma once

#include "agentsim/scripted.h"
#include "temp_dir.h"
#include "wire.h"

namespace vxtest {

struct AgentDir {
  TempDir dir;
};

class Agent : private AgentDir, public agentsim::ScriptedAgent {
 public:
  struct Options {
    std::string path = {};                 // empty: agent.sock in a private directory
    Answers welcome = {U32(1)};            // answer to the handshake
    std::vector<std::string> faults = {};  // pacing faults: trickle, slow-read
  };

  Agent() : Agent(Options{}) {}
  explicit Agent(const Options &o)
      : ScriptedAgent(o.path.empty() ? dir.file("agent.sock") : o.path, o.welcome, o.faults) {
    ReplyFields({});
  }
  // The reply to every request: `fields` in a frame of the request's type.
  void ReplyFields(const Bytes &fields) {
    Reply([fields](const Bytes &frame) { return Answers{Frame(FrameType(frame), fields)}; });
  }
  void Silent() {
    Reply([](const Bytes &) { return Answers{}; });
  }
};

}  // namespace vxtest
