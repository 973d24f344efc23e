// The process's configuration set, loaded once, looked up by key in any case.
#include "kest/properties.h"

#include <strings.h>

#include "kest/internal.h"
#include "props/props.h"

namespace kest {

void Lock::doLock() { mutex_.lock(); }
void Lock::unLock() { mutex_.unlock(); }

Properties::Properties(::Properties *set) : set_(set) {}
Properties::~Properties() { FreeProperties(set_); }

// Keys come newest first, so the first match in any case is the definition
// that wins; GetProperty on its exact key then finds that same record.
const char *Properties::find(const std::string &key) {
  uint32_t status = 0;
  PropertyIter *iter = PropertyIterator(set_, nullptr, &status);
  const char *found = nullptr;
  for (const char *k = PropertyNext(iter); k != nullptr; k = PropertyNext(iter)) {
    if (strcasecmp(k, key.c_str()) == 0) {
      found = k;
      break;
    }
  }
  FreePropertyIterator(iter);
  return found;
}

std::string Properties::get(const std::string &key, const std::string &fallback) {
  const char *exact = find(key);
  if (exact == nullptr) return fallback;
  uint32_t status = 0;
  const char *value = GetProperty(set_, exact, nullptr, &status);
  return value != nullptr ? std::string(value) : fallback;
}

bool Properties::contains(const std::string &key) { return find(key) != nullptr; }

namespace internal {

unsigned ConfiguredSeconds(Properties &props, const char *key, unsigned fallback) {
  props.lock().doLock();
  const char *exact = props.find(key);
  uint32_t status = 0;
  unsigned seconds = exact != nullptr ? GetPropertyTime(props.set_, exact, 's', fallback, &status) : fallback;
  props.lock().unLock();
  return seconds;
}

std::unique_ptr<Properties> LoadConfiguration(const char *path, bool secure) {
  uint32_t status = 0;
  ::Properties *set =
      secure ? LoadProperties(path, nullptr, &status) : LoadPropertiesWithoutSecurity(path, nullptr, &status);
  return std::make_unique<Properties>(set);
}

}  // namespace internal

Properties &Props(bool /*reload*/, bool /*required*/) {
  static const std::unique_ptr<Properties> props = internal::LoadConfiguration(VX_CONF_PATH, true);
  return *props;
}

}  // namespace kest
