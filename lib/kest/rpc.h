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

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kest/api.h"

struct LRPC2Session;

namespace kest {

// Attribute holding a user's principal name.
inline constexpr char KEST_USER_PRINCIPAL_NAME[] = "userPrincipalName";

KEST_API extern const std::string EMPTY_STRING;

// Non-zero: callers may skip attributeExists() and take an attribute
// without values as absent.
KEST_API extern int GOFAST1;

// Where getUserObj looks for a name; the value is the request's scope field.
enum ObjectScope { UNIX_ONLY = 1 };

// Seconds allowed for connecting and the handshake.
inline constexpr unsigned RPC_CONNECT_TIMEOUT = 5;
// Seconds allowed for each read and write of a lookup: the configured
// "lrpc.timeout", but never more than RPC_REQUEST_TIMEOUT_MAX (a lookup made
// only to name the user must not hold the program up for long) and never
// unbounded.
inline constexpr char RPC_TIMEOUT_KEY[] = "lrpc.timeout";
inline constexpr unsigned RPC_REQUEST_TIMEOUT_MAX = 30;

class KEST_API ADAttribute {
 public:
  ADAttribute() = default;
  explicit ADAttribute(std::vector<std::string> values) : values_(std::move(values)) {}

  size_t size() const { return values_.size(); }
  const std::vector<std::string> &values() const { return values_; }
  // The first value, or the empty text when there is none.
  operator std::string() const { return values_.empty() ? EMPTY_STRING : values_.front(); }

 private:
  friend class ADObject;
  std::vector<std::string> values_;
};

class KEST_API ADObject {
 public:
  // Adds a value to the attribute `name` (created on first use).
  void add(const std::string &name, const std::string &value);
  // Creates the attribute `name` without values unless it exists.
  void addName(const std::string &name);

  // Whether the object has the attribute; names compare in any letter case
  // when `ignoreCase` is set.
  bool attributeExists(const std::string &name, bool ignoreCase) const;
  // The attribute of that name in any letter case; an empty one when absent.
  const ADAttribute &operator[](const std::string &name) const;

 private:
  std::pair<std::string, ADAttribute> *find(const std::string &name, bool ignoreCase);
  const std::pair<std::string, ADAttribute> *find(const std::string &name, bool ignoreCase) const;

  std::vector<std::pair<std::string, ADAttribute>> attributes_;
};

class KEST_API LocalRpcSession {
 public:
  // Opens a session to the agent's socket at `path`; IOException when it
  // cannot be opened. The flags are accepted for the callers' sake.
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
