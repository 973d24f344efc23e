// Directory session to the agent: user objects by name.
//
//   kest::LocalRpcSession session(path, false, false);  // throws IOException
//   session.authenticateProcess();
//   std::shared_ptr<kest::ADObject> user = session.getUserObj("alice", kest::UNIX_ONLY);
//   if (user && user->attributeExists(kest::KEST_USER_PRINCIPAL_NAME, true))
//     std::string upn = (*user)[kest::KEST_USER_PRINCIPAL_NAME];
//
// The session is closed when the object is destroyed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kest/api.h"

struct LRPC2Session;
struct Msg;

namespace kest {

// Attribute holding a user's principal name.
inline constexpr char KEST_USER_PRINCIPAL_NAME[] = "userPrincipalName";

KEST_API extern const std::string EMPTY_STRING;

// Non-zero: callers may skip attributeExists() and take an attribute
// without values as absent.
KEST_API extern int GOFAST1;

// Where getUserObj looks for a name; the value is the request's scope field.
enum ObjectScope { UNIX_ONLY = 1 };

// Seconds allowed for opening the session: connect and handshake together.
inline constexpr unsigned RPC_CONNECT_TIMEOUT = 5;
// Seconds allowed for a whole lookup, request and reply: the configured
// "lrpc.timeout", but never more than RPC_REQUEST_TIMEOUT_MAX (a lookup made
// only to name the user must not hold the program up for long) and never
// unbounded.
inline constexpr char RPC_TIMEOUT_KEY[] = "lrpc.timeout";
inline constexpr unsigned RPC_REQUEST_TIMEOUT_MAX = 30;

// The most distinct attribute names an object may have; a reply naming
// more is refused (IPCException), so that its index stays small beside the
// reply, which the transport bounds (LRPC_MAX_FRAME).
inline constexpr size_t RPC_MAX_ATTRIBUTES = 1000000;

// One attribute of an object: how many values it has and the first of
// them. The text lies in the reply the object keeps.
class KEST_API ADAttribute {
 public:
  ADAttribute() = default;

  size_t size() const { return count_; }
  // The first value, or the empty text when there is none.
  operator std::string() const { return std::string(first_); }

 private:
  friend class ADObject;
  std::string_view first_;
  size_t count_ = 0;
};

// A directory object as the agent's reply lists it. The reply is read once,
// in place: the object keeps it and indexes each distinct attribute name,
// so its cost is the reply's size and a small record per name.
class KEST_API ADObject {
 public:
  // Whether the object has the attribute; names compare in any letter case
  // when `ignoreCase` is set.
  bool attributeExists(const std::string &name, bool ignoreCase) const;
  // The attribute of that name in any letter case (the first so named, in
  // reply order); an empty one when absent.
  const ADAttribute &operator[](const std::string &name) const;

 private:
  friend class LocalRpcSession;
  struct Attribute {
    std::string_view name;
    ADAttribute values;
  };

  // Indexes the string set at the cursor of `reply`: attribute names and
  // values alternate; a name followed by a null item or by the end is an
  // attribute without values, and a null item ends the list. Names and
  // values end at a NUL byte, as C strings do. IPCException when the set
  // cannot be read or names more than RPC_MAX_ATTRIBUTES attributes.
  explicit ADObject(std::shared_ptr<Msg> reply);
  // Counts one value (null: none) of the attribute `name`.
  void note(std::string_view name, const char *value, uint32_t length);
  // The index slot that holds `name`, or the empty slot where it belongs.
  size_t slotOf(std::string_view name) const;
  void growIndex();
  const Attribute *find(std::string_view name, bool ignoreCase) const;

  std::shared_ptr<Msg> reply_;
  std::vector<Attribute> attributes_;  // in the order they first appear
  // Open addressing over a hash keyed once per process, so that a peer
  // cannot choose names that pile up: 1 + the attribute's position, 0 for
  // an empty slot; at most half full.
  std::vector<uint32_t> index_;
};

class KEST_API LocalRpcSession {
 public:
  // Opens a session to the agent's socket at `path`; IOException when it
  // cannot be opened, also when whoever listens there is neither root nor
  // this process's effective user (then a DEBUG record of the logger
  // KEST_LOGGER names that peer). The flags are accepted for the callers'
  // sake.
  LocalRpcSession(const std::string &path, bool secure, bool persistent);
  ~LocalRpcSession();
  LocalRpcSession(const LocalRpcSession &) = delete;
  LocalRpcSession &operator=(const LocalRpcSession &) = delete;

  // Proves the calling process to the agent. The kernel attaches the
  // process's credentials to everything this session sends, so nothing is
  // exchanged here; IOException when the session is closed.
  void authenticateProcess();

  // The object named `name`, or null when the agent knows no such object.
  // IOException when the exchange fails, IPCException when the answer cannot
  // be read.
  std::shared_ptr<ADObject> getUserObj(const std::string &name, ObjectScope scope);

 private:
  LRPC2Session *session_;
};

}  // namespace kest
