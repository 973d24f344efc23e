// Directory session to the agent over LRPC2: user objects by name.
#include "kest/rpc.h"

#include <string.h>
#include <strings.h>

#include <algorithm>
#include <random>

#include "client_common/lrpc2.h"
#include "client_common/msg.h"
#include "client_common/msg_ptr.h"
#include "client_common/msg_types.h"
#include "kest/exception.h"
#include "kest/internal.h"
#include "kest/logger.h"
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

unsigned LookupTimeout() {
  unsigned seconds =
      internal::ConfiguredSeconds(Props(false, false), RPC_TIMEOUT_KEY, RPC_REQUEST_TIMEOUT_MAX);
  return seconds == 0 || seconds > RPC_REQUEST_TIMEOUT_MAX ? RPC_REQUEST_TIMEOUT_MAX : seconds;
}

constexpr size_t kFirstIndexSize = 16;

// FNV-1a from a start drawn once per process: a peer that does not know it
// cannot choose names that share a slot.
size_t KeyedHash(std::string_view name) {
  static const uint64_t key = [] {
    std::random_device random;
    return (uint64_t{random()} << 32) | random();
  }();
  uint64_t h = key;
  for (unsigned char c : name) h = (h ^ c) * 0x100000001b3u;
  return static_cast<size_t>(h ^ (h >> 32));
}

// The text of a reply item up to its first NUL byte, as a C string reads.
std::string_view CText(const char *bytes, uint32_t length) {
  const void *nul = memchr(bytes, '\0', length);
  return {bytes, nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - bytes) : length};
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

[[noreturn]] void BadReply(uint32_t status) {
  throw IPCException("Bad object reply: " + StatusText(MsgErr2Str(status), status));
}

}  // namespace

namespace internal {

void LogRefusedPeer(const std::string &path) {
  pid_t pid = 0;
  uid_t uid = 0;
  if (LRPC2RefusedPeer(&pid, &uid) == 0) return;
  const auto logger = Logger::GetThreadPrivateLogger(KEST_LOGGER);
  if (logger && logger->isEnabled(Logger::DEBUG))
    logger->log(Logger::DEBUG, "rpc", __LINE__, "LogRefusedPeer", "Refused peer at '%s': uid %u, pid %d",
                path.c_str(), static_cast<unsigned>(uid), static_cast<int>(pid));
}

}  // namespace internal

ADObject::ADObject(std::shared_ptr<Msg> reply) : reply_(std::move(reply)) {
  MsgSetReader items = {};
  uint32_t status = MsgOpenStringSet(reply_.get(), &items, nullptr);
  if (status != 0) BadReply(status);
  while (items.left > 0) {
    const char *name = nullptr, *value = nullptr;
    uint32_t name_length = 0, value_length = 0;
    status = MsgNextSetItem(&items, &name, &name_length);
    if (status == 0 && name != nullptr && items.left > 0)
      status = MsgNextSetItem(&items, &value, &value_length);
    if (status != 0) BadReply(status);
    if (name == nullptr) break;
    note(CText(name, name_length), value, value_length);
    if (value == nullptr) break;
  }
}

void ADObject::note(std::string_view name, const char *value, uint32_t length) {
  if (2 * (attributes_.size() + 1) > index_.size()) growIndex();
  const size_t slot = slotOf(name);
  if (index_[slot] == 0) {
    if (attributes_.size() == RPC_MAX_ATTRIBUTES)
      throw IPCException("Bad object reply: more than " + std::to_string(RPC_MAX_ATTRIBUTES) + " attributes");
    attributes_.push_back({name, {}});
    index_[slot] = static_cast<uint32_t>(attributes_.size());
  }
  if (value == nullptr) return;
  ADAttribute &values = attributes_[index_[slot] - 1].values;
  if (values.count_++ == 0) values.first_ = CText(value, length);
}

size_t ADObject::slotOf(std::string_view name) const {
  const size_t mask = index_.size() - 1;  // the size is a power of two
  for (size_t slot = KeyedHash(name) & mask;; slot = (slot + 1) & mask) {
    const uint32_t at = index_[slot];
    if (at == 0 || attributes_[at - 1].name == name) return slot;
  }
}

void ADObject::growIndex() {
  index_.assign(std::max<size_t>(kFirstIndexSize, 2 * index_.size()), 0);
  for (size_t i = 0; i < attributes_.size(); ++i)
    index_[slotOf(attributes_[i].name)] = static_cast<uint32_t>(i + 1);
}

const ADObject::Attribute *ADObject::find(std::string_view name, bool ignoreCase) const {
  if (!ignoreCase) {
    const uint32_t at = index_.empty() ? 0 : index_[slotOf(name)];
    return at != 0 ? &attributes_[at - 1] : nullptr;
  }
  for (const Attribute &attribute : attributes_)
    if (SameIgnoringCase(attribute.name, name)) return &attribute;
  return nullptr;
}

bool ADObject::attributeExists(const std::string &name, bool ignoreCase) const {
  return find(name, ignoreCase) != nullptr;
}

const ADAttribute &ADObject::operator[](const std::string &name) const {
  static const ADAttribute kNoValues;
  const Attribute *attribute = find(name, true);
  return attribute != nullptr ? attribute->values : kNoValues;
}

LocalRpcSession::LocalRpcSession(const std::string &path, bool, bool) : session_(nullptr) {
  uint32_t status = 0;
  session_ = LRPC2Open(path.c_str(), GetMsgTypeTable(), RPC_CONNECT_TIMEOUT, RPC_CONNECT_TIMEOUT, &status);
  if (session_ == nullptr) {
    internal::LogRefusedPeer(path);
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
  // The object reads the attribute list in place and keeps the reply.
  std::shared_ptr<Msg> kept(reply.release(), MsgFree);
  return std::shared_ptr<ADObject>(new ADObject(std::move(kept)));
}

}  // namespace kest
