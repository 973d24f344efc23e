// The configuration library (load, value processing, queries) and secure
// opening for writing.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "props/props.h"
#include "sweep.h"
#include "util/secure_open.h"

namespace sweep {
namespace {

namespace fi = vxtest::fault;

constexpr const char *kDefault = "(default)";
constexpr uint32_t kNoMem = PROPS_ERR_NOMEM;
// Keys whose include processing may have failed: that status is kept and
// reported again on every later query.
bool IsIncludeKey(const char *key) { return strcmp(key, "inc") == 0 || strcmp(key, "absent.key") == 0; }

// GetProperty of `key`: the value, or the default with its status. In the
// second pass a property whose processing failed earlier must be processed
// again (only a failed include stays failed).
void Text(Obs &o, Properties *p, int step, const char *key, bool second_pass) {
  uint32_t status = 0;
  const long failures = fi::Failures();
  const char *v = GetProperty(p, key, kDefault, &status);
  o.Step(step, status, {kNoMem}, "%s", v != nullptr ? v : "(null)");
  o.Check(status == PROPS_OK || v == kDefault, "GetProperty(%s) failed with %u but did not give the default",
          key, status);
  o.Check(!second_pass || status == PROPS_OK || fi::Failures() != failures || IsIncludeKey(key),
          "GetProperty(%s) still fails with %u although nothing failed this time", key, status);
}

constexpr const char *kTextKeys[] = {"greeting", "quoted", "self", "env", "join", "escaped", "inc", "long"};
constexpr int kTextKeyCount = std::size(kTextKeys);

// Loads the file (with all checks, or only the regular-file ones: then the
// main file is looked at with stat, its include file still with all
// checks), queries every value kind (variables, environment, join facts,
// escapes, quoting, include file) twice, the include file also as a value
// list and as the default list of an absent key in between, and iterates.
void Configuration(Obs &o, int secure) {
  uint32_t status = 0;
  Properties *p = LoadPropertiesInternal(GetEnv().conf.c_str(), nullptr, &status, secure);
  o.Step(0, status, {kNoMem}, "load");
  if (!o.Check((p == nullptr) == (status != PROPS_OK), "load: set and status %u disagree", status) ||
      p == nullptr)
    return;
  for (int pass = 0; pass < 2; ++pass) {
    const int base = 1 + pass * 20;
    for (int k = 0; k < kTextKeyCount; ++k) Text(o, p, base + k, kTextKeys[k], pass == 1);
    uint32_t count = 0;
    char **items = GetValueList(p, "inc", &count, &status);
    o.Step(base + kTextKeyCount, status, {kNoMem}, "%u: %s|%s|%s", count, items ? items[0] : "-",
           items && count > 1 ? items[1] : "-", items && count > 2 ? items[count - 1] : "-");
    // Exhausted memory anywhere, in the include step too, gives count
    // UINT32_MAX; any other failure of the include step count 0.
    o.Check(status == PROPS_OK || (items == nullptr && count == (status == kNoMem ? UINT32_MAX : 0u)),
            "GetValueList failed with %u but gave count %u", status, count);
    for (uint32_t k = 0; items != nullptr && k < count; ++k) free(items[k]);
    free(items);
    const int found =
        IsStringInPropertyList(p, "absent.key", "bob smith", GetEnv().include_ref.c_str(), &status);
    o.Step(base + kTextKeyCount + 1, status, {kNoMem}, "%d", found);
  }
  PropertyIter *it = PropertyIterator(p, "e", &status);
  char keys[Obs::kTextSize] = "";
  size_t used = 0;
  for (const char *k = PropertyNext(it); k != nullptr && used + strlen(k) + 2 < sizeof keys;
       k = PropertyNext(it)) {
    used += static_cast<size_t>(snprintf(keys + used, sizeof keys - used, "%s,", k));
  }
  o.Step(41, status, {kNoMem}, "%s", keys);
  o.Check((it == nullptr) == (status != PROPS_OK), "PropertyIterator: iterator and status %u disagree",
          status);
  FreePropertyIterator(it);
  FreeProperties(p);
}

// Replaces a file securely, as a descriptor and as a stream, and truncates
// it through SecureOpen. Each step starts from an existing file, whatever
// the step before did.
void SecureWrite(Obs &o) {
  const char *path = GetEnv().target.c_str();
  for (int step = 0; step < 3; ++step) {
    {
      fi::Pause pause;
      GetEnv().dir.write("target", "old", 0600);
    }
    uint32_t status = 0;
    FILE *f = step == 1 ? SecureFOpenForWriting(path, 0600, 0, &status) : nullptr;
    const int fd = step == 0   ? SecureOpenForWriting(path, 0600, 0, &status)
                   : step == 2 ? SecureOpen(path, O_WRONLY | O_TRUNC, 0, 0, &status)
                               : -1;
    o.Step(step, status, {}, "%d", f != nullptr || fd >= 0);
    if (f != nullptr) fclose(f);
    if (fd >= 0) close(fd);
  }
}

}  // namespace

std::vector<Scenario> FileScenarios() {
  return {
      {"props_load_process_query_iterate", [](Obs &o) { Configuration(o, 0); }, "loader"},
      // With all checks: its allocations are those of the plain load.
      {"props_secure_load_process_query_iterate", [](Obs &o) { Configuration(o, 1); }, "loader", false, true},
      {"secure_open_for_writing", SecureWrite, "secure_write", false, true},
  };
}

}  // namespace sweep
