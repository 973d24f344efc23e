// Directory session to the agent over LRPC2: user objects by name.
#include "kest/rpc.h"

#include <stdlib.h>
#include <strings.h>

#include "client_common/lrpc2.h"
#include "client_common/msg.h"
#include "client_common/msg_ptr.h"
#include "client_common/msg_types.h"
#include "kest/exception.h"
#include "kest/internal.h"
#include "kest/properties.h"

namespace kest {

const std::string EMPTY_STRING;
int GOFAST1 = 1;

namespace {

using vx::MsgPtr;

std::string StatusText(const char *text, uint32_t status) {
  return text != nullptr ? std::string(text) : "status " + std::to_string(status);
}

MsgPtr BuildObjectRequest(const std::string &name, ObjectScope scope) {
  uint32_t status = 0;
  MsgPtr request(NewMsg(MSGTYPE_GET_OBJECT_BY_NAME, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status));
  if (request == nullptr)
    throw IPCException("Cannot build object request: " + StatusText(MsgErr2Str(status), status));
  status = MsgAddString(request.get(), name.c_str());
  if (status == 0) status = MsgAddUInt(request.get(), static_cast<uint32_t>(scope));
  if (status == 0) status = MsgComplete(request.get());
  if (status != 0)
    throw IPCException("Cannot build object request: " + StatusText(MsgErr2Str(status), status));
  return request;
}

// Attribute names and values alternate in the reply's string set; a name
// without a value after it is an attribute without values.
std::shared_ptr<ADObject> ObjectFromPairs(char **items) {
  auto object = std::make_shared<ADObject>();
  for (size_t i = 0; items[i] != nullptr; i += 2) {
    if (items[i + 1] == nullptr) {
      object->addName(items[i]);
      break;
    }
    object->add(items[i], items[i + 1]);
  }
  return object;
}

unsigned LookupTimeout() {
  unsigned seconds =
      internal::ConfiguredSeconds(Props(false, false), RPC_TIMEOUT_KEY, RPC_REQUEST_TIMEOUT_MAX);
  return seconds == 0 || seconds > RPC_REQUEST_TIMEOUT_MAX ? RPC_REQUEST_TIMEOUT_MAX : seconds;
}

void FreeStringSet(char **items) {
  if (items == nullptr) return;
  for (size_t i = 0; items[i] != nullptr; ++i) free(items[i]);
  free(items);
}

}  // namespace

void ADObject::add(const std::string &name, const std::string &value) {
  addName(name);
  find(name, false)->second.values_.push_back(value);
}

void ADObject::addName(const std::string &name) {
  if (find(name, false) == nullptr) attributes_.emplace_back(name, ADAttribute());
}

std::pair<std::string, ADAttribute> *ADObject::find(const std::string &name, bool ignoreCase) {
  for (auto &entry : attributes_) {
    bool same = ignoreCase ? strcasecmp(entry.first.c_str(), name.c_str()) == 0 : entry.first == name;
    if (same) return &entry;
  }
  return nullptr;
}

const std::pair<std::string, ADAttribute> *ADObject::find(const std::string &name, bool ignoreCase) const {
  return const_cast<ADObject *>(this)->find(name, ignoreCase);
}

bool ADObject::attributeExists(const std::string &name, bool ignoreCase) const {
  return find(name, ignoreCase) != nullptr;
}

const ADAttribute &ADObject::operator[](const std::string &name) const {
  static const ADAttribute kNoValues;
  const auto *entry = find(name, true);
  return entry != nullptr ? entry->second : kNoValues;
}

LocalRpcSession::LocalRpcSession(const std::string &path, bool, bool) : session_(nullptr) {
  uint32_t status = 0;
  session_ = LRPC2Open(path.c_str(), GetMsgTypeTable(), RPC_CONNECT_TIMEOUT, RPC_CONNECT_TIMEOUT, &status);
  if (session_ == nullptr) {
    throw IOException("Cannot open session to '" + path + "': " + StatusText(LRPC2Err2Str(status), status));
  }
}

LocalRpcSession::~LocalRpcSession() { LRPC2Close(session_); }

void LocalRpcSession::authenticateProcess() {
  if (session_ == nullptr) throw IOException("Session is closed");
}

std::shared_ptr<ADObject> LocalRpcSession::getUserObj(const std::string &name, ObjectScope scope) {
  MsgPtr request = BuildObjectRequest(name, scope);
  uint32_t status = 0;
  MsgPtr reply(LRPC2Transact(session_, request.get(), LookupTimeout(), &status));
  if (reply == nullptr)
    throw IOException("Object lookup failed: " + StatusText(LRPC2Err2Str(status), status));
  int32_t found = 0;
  status = MsgGetInt(reply.get(), &found);
  if (status != 0) throw IPCException("Bad object reply: " + StatusText(MsgErr2Str(status), status));
  if (found != 0) return nullptr;
  char **items = nullptr;
  status = MsgGetStringSet(reply.get(), &items);
  if (status != 0) throw IPCException("Bad object reply: " + StatusText(MsgErr2Str(status), status));
  std::shared_ptr<ADObject> object;
  try {
    object = ObjectFromPairs(items);
  } catch (...) {
    FreeStringSet(items);
    throw;
  }
  FreeStringSet(items);
  return object;
}

}  // namespace kest
