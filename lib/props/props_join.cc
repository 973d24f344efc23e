// Join facts: values the agent recorded when the host joined the domain,
// reached through $JOINNAME, $SITE, $DOMAIN and $ZONE.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "props/props_internal.h"
#include "util/safe_string.h"
#include "util/secure_open.h"

#ifndef VX_KSET_PREFIX
#define VX_KSET_PREFIX "/var/vorlex/kset."
#endif

namespace {

// Path prefix of the join fact files; the variable's suffix follows it.
constexpr const char kKsetPrefix[] = VX_KSET_PREFIX;
// Zone name used when the zone's distinguished name has no CN= component.
constexpr const char kUnknownZone[] = "<unknown>";
constexpr const char kCommonNameTag[] = "CN=";

using KsetReader = char *(*)(const char *suffix, char **cache, uint32_t *status);

struct JoinVariable {
  const char *name;
  int field;  // index into the four cache fields, in their order in Properties
  const char *suffix;
  KsetReader reader;
};

constexpr JoinVariable kJoinVariables[] = {
    {"JOINNAME", 0, "host", ReadKsetFile},
    {"SITE", 1, "site", ReadKsetFile},
    {"DOMAIN", 2, "domain", ReadKsetFile},
    {"ZONE", 3, "zonename", ReadKsetZone},
};

// Stores a heap copy of `text` in *cache, freeing what it held.
char *StoreCopy(const char *text, char **cache, uint32_t *status) {
  char *copy = SafeStrDup(text);
  if (copy == nullptr) {
    vxprops::SetStatus(status, PROPS_ERR_NOMEM);
    return nullptr;
  }
  free(*cache);
  *cache = copy;
  return copy;
}

// Reads from fd up to the first line end (kept) or size - 1 bytes, as
// fgets would, and terminates the line. Returns its length, 0 for an empty
// file, -1 when a read fails.
ssize_t ReadFirstLine(int fd, char *line, size_t size) {
  size_t used = 0;
  while (used + 1 < size && memchr(line, '\n', used) == nullptr) {
    ssize_t n = read(fd, line + used, size - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  const char *end = static_cast<const char *>(memchr(line, '\n', used));
  if (end != nullptr) used = static_cast<size_t>(end - line) + 1;
  line[used] = '\0';
  return static_cast<ssize_t>(used);
}

}  // namespace

using vxprops::SetStatus;

extern "C" {

char *ReadKsetFile(const char *suffix, char **cache, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (suffix == nullptr || cache == nullptr) return nullptr;
  std::string path;
  try {
    path = std::string(kKsetPrefix) + suffix;
  } catch (...) {
    SetStatus(status, PROPS_ERR_NOMEM);
    return nullptr;
  }
  // The secure opener never blocks and refuses what another user could
  // have put there; such a file counts as missing, like one that is absent.
  uint32_t open_status = SOPEN_OK;
  int fd = SecureOpenForReading(path.c_str(), &open_status);
  if (fd < 0) return nullptr;
  char line[PROPS_KSET_LINE_SIZE];
  ssize_t length = ReadFirstLine(fd, line, sizeof line);
  (void)close(fd);
  if (length <= 0) {
    if (length < 0) SetStatus(status, PROPS_ERR_SYSTEM);
    return nullptr;
  }
  return StoreCopy(line, cache, status);
}

char *ReadKsetZone(const char *suffix, char **cache, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (cache == nullptr) return nullptr;
  char *dn = nullptr;
  if (ReadKsetFile(suffix, &dn, status) == nullptr) return nullptr;
  const char *cn = strstr(dn, kCommonNameTag);
  char *result = nullptr;
  if (cn == nullptr) {
    result = StoreCopy(kUnknownZone, cache, status);
  } else {
    cn += sizeof kCommonNameTag - 1;
    dn[static_cast<size_t>(cn - dn) + strcspn(cn, ",")] = '\0';
    result = StoreCopy(cn, cache, status);
  }
  free(dn);
  return result;
}

const char *GetJoinParam(const char *name, char **join_name, char **join_site, char **join_domain,
                         char **join_zone, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (name == nullptr) return nullptr;
  char **fields[] = {join_name, join_site, join_domain, join_zone};
  for (const JoinVariable &v : kJoinVariables) {
    if (strcmp(v.name, name) != 0) continue;
    char **cache = fields[v.field];
    if (cache == nullptr) return nullptr;
    if (*cache != nullptr) return *cache;
    v.reader(v.suffix, cache, status);
    return *cache;
  }
  return nullptr;
}

}  // extern "C"
