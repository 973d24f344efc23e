// What the agent answers: one table row and one handler per message type.
//
// A handler reads the request's fields, does what the request asks (answers
// from the account data, records forwarded log records and audit events) and
// returns the reply's fields. Faults that change a reply's content (status,
// disabled) are applied here; faults that damage the frame or its delivery
// are applied by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "accounts.h"
#include "client_common/msg.h"
#include "encoded_set.h"
#include "faults.h"
#include "record.h"
#include "script.h"

namespace agentsim {

// One reply field: MDT_BOOL, MDT_INT, MDT_UINT, MDT_STRING or MDT_STRINGSET
// (built for this reply, or encoded beforehand and shared).
struct Bool {
  bool value;
};
using SharedSet = std::shared_ptr<const EncodedSet>;
using Field = std::variant<Bool, int32_t, uint32_t, std::string, std::vector<std::string>, SharedSet>;

// Everything the handlers share across connections.
struct Services {
  const Faults &faults;
  Accounts &accounts;
  Recorder &recorder;
  uint32_t log2_messages = 0;  // ControlLog2 messages received so far
  Script *script = nullptr;    // set: it answers instead of the handlers and faults
};

struct Reply {
  bool one_way = false;  // nothing goes back
  std::vector<Field> fields;
};

// Handles one complete request of `type` (cursor at its first field).
Reply HandleRequest(uint32_t type, Msg *request, const FaultPlan &plan, Services &services);

}  // namespace agentsim
