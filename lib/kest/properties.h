// The process's configuration, as the support library serves it.
//
// Props() loads the suite's configuration file once per process through the
// configuration library; a file that cannot be loaded gives an empty set.
// Keys compare without regard to case. A reader takes the set's lock around
// each lookup:
//
//   kest::Properties &props = kest::Props(false, false);
//   props.lock().doLock();
//   std::string value = props.get(kest::PN::KESTD_SOCKET, "/var/vorlex/daemon");
//   props.lock().unLock();
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "kest/api.h"

struct Properties;  // the configuration library's loaded set

namespace kest {

class Properties;
namespace internal {
unsigned ConfiguredSeconds(Properties &props, const char *key, unsigned fallback);
}

// Keys of the configuration that the library's callers read.
namespace PN {
inline constexpr char VXAGENT_LOCAL_ACCOUNT_MANAGE[] = "vxagent.local.account.manage";
inline constexpr char KESTD_SOCKET[] = "vxagent.socket";
}  // namespace PN

class KEST_API Lock {
 public:
  void doLock();
  void unLock();

 private:
  std::mutex mutex_;
};

class KEST_API Properties {
 public:
  // Takes ownership of `set` (null: an empty configuration).
  explicit Properties(::Properties *set);
  ~Properties();
  Properties(const Properties &) = delete;
  Properties &operator=(const Properties &) = delete;

  // The processed value of the newest property whose key equals `key` in any
  // letter case, or `fallback` when there is none. The caller holds lock().
  std::string get(const std::string &key, const std::string &fallback = "");
  // Whether such a property exists. The caller holds lock().
  bool contains(const std::string &key);

  Lock &lock() { return lock_; }

 private:
  friend unsigned internal::ConfiguredSeconds(Properties &props, const char *key, unsigned fallback);
  const char *find(const std::string &key);

  ::Properties *set_;
  Lock lock_;
};

// The process's configuration, loaded on the first call. The two flags are
// accepted for the callers' sake; this library always serves the one set.
KEST_API Properties &Props(bool reload, bool required);

}  // namespace kest
