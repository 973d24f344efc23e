// The scenarios of the allocation sweeps, one representative use of each
// module per scenario, and the fixtures they share. Fixtures are built once,
// before any sweep, because scenarios run while allocations are failed and
// must not allocate on their own account.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "sweep.h"
#include "test_agent.h"

namespace allocfail {

// Identity of the records the client log scenarios write.
constexpr const char *kLogProcess = "allocfail";
constexpr const char *kLogSource = "allocfail";
constexpr const char *kEndRecordFunction = "EndRecord";

struct Env {
  vxtest::TempDir dir;
  TestAgent agent;
  std::string long_text;    // 600 bytes: outgrows every first block
  std::string reply_block;  // a received message holding every field kind
  std::string conf;         // configuration for the property scenario
  std::string include;      // the include file it names
  std::string include_ref;  // "file:" + include
  std::string ctx_conf;     // configuration for the client context
  std::string emergency;    // an existing file for emergency logs
  std::string emergency_dest;  // "file " + emergency
  std::string no_socket;    // an absolute path where nothing listens
  // Text of a client log record that leaves the pending ControlLog2
  // message so little room that appending the end record must grow it.
  std::string end_record_text;

  Env();
};

// The one Env, built on first use (call it before any sweep).
const Env &GetEnv();

// Length and FNV-1a hash of a byte string, for comparing long results in
// the fixed-size texts of an Observation.
struct Digest {
  size_t length;
  uint32_t hash;
};
Digest DigestOf(const void *bytes, size_t length);
Digest DigestOf(const char *text);  // null: length 0, hash 0

// Empties a file without allocating (the emergency log, before a run).
void Truncate(const std::string &path);

std::vector<Scenario> UtilMsgScenarios();
std::vector<Scenario> TransportScenarios();
std::vector<Scenario> PropsScenarios();
std::vector<Scenario> ClientScenarios();

}  // namespace allocfail
