// The configuration library (load, value processing, every query) and
// secure opening for writing.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

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
constexpr const char *kIncludeKeys[] = {"inc", "absent.key"};

bool IsIncludeKey(const char *key) {
  for (const char *k : kIncludeKeys)
    if (strcmp(k, key) == 0) return true;
  return false;
}

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

void Typed(Obs &o, Properties *p, int step) {
  uint32_t s1 = 0, s2 = 0, s3 = 0;
  const uint32_t b = GetPropertyBool(p, "flag", 0, &s1);
  o.Step(step, s1, {kNoMem}, "%u", b);
  const int32_t i = GetPropertyInt(p, "num", -1, &s2);
  o.Step(step + 1, s2, {kNoMem}, "%d", i);
  const uint32_t t = GetPropertyTime(p, "span", 's', 1, &s3);
  o.Step(step + 2, s3, {kNoMem}, "%u", t);
  o.Check((s1 == 0 || b == 0) && (s2 == 0 || i == 0) && (s3 == 0 || t == 0),
          "a typed query failed but did not give 0");
}

// GetValueList of `key`: the count, the first two items and the last.
void ValueList(Obs &o, Properties *p, int step, const char *key) {
  uint32_t status = 0, count = 0;
  char **items = GetValueList(p, key, &count, &status);
  o.Step(step, status, {kNoMem}, "%u: %s|%s|%s", count, items ? items[0] : "-",
         items && count > 1 ? items[1] : "-", items && count > 2 ? items[count - 1] : "-");
  // Exhausted memory anywhere, in the include step too, gives count
  // UINT32_MAX; any other failure of the include step count 0.
  o.Check(status == PROPS_OK || (items == nullptr && count == (status == kNoMem ? UINT32_MAX : 0u) &&
                                 (status == kNoMem || IsIncludeKey(key))),
          "GetValueList(%s) failed with %u but gave count %u", key, status, count);
  for (uint32_t k = 0; items != nullptr && k < count; ++k) free(items[k]);
  free(items);
}

void Lists(Obs &o, Properties *p, int step) {
  uint32_t status = 0;
  int found = IsStringInPropertyList(p, "words", "beta gamma", nullptr, &status);
  o.Step(step, status, {kNoMem}, "%d", found);
  found = IsIntegerInPropertyList(p, "ints", 7, nullptr, &status);
  o.Step(step + 1, status, {kNoMem}, "%d", found);
  ValueList(o, p, step + 2, "inc");
  found = IsStringInPropertyList(p, "absent.key", "bob smith", GetEnv().include_ref.c_str(), &status);
  o.Step(step + 3, status, {kNoMem}, "%d", found);
  ValueList(o, p, step + 4, "many");
}

void Iterate(Obs &o, Properties *p, int step) {
  uint32_t status = 0;
  PropertyIter *it = PropertyIterator(p, "e", &status);
  char keys[Obs::kTextSize] = "";
  size_t used = 0;
  for (const char *k = PropertyNext(it); k != nullptr && used + strlen(k) + 2 < sizeof keys;
       k = PropertyNext(it)) {
    used += static_cast<size_t>(snprintf(keys + used, sizeof keys - used, "%s,", k));
  }
  o.Step(step, status, {kNoMem}, "%s", keys);
  o.Check((it == nullptr) == (status != PROPS_OK), "PropertyIterator: iterator and status %u disagree",
          status);
  FreePropertyIterator(it);
}

constexpr const char *kTextKeys[] = {"greeting", "quoted", "self", "env", "join", "escaped", "inc", "long"};
constexpr int kTextKeyCount = sizeof kTextKeys / sizeof kTextKeys[0];

// Loads the file (with all checks, or only the regular-file ones: then the
// main file is looked at with stat, its include file still with all
// checks), queries every value kind (variables, environment, join facts,
// escapes, quoting, include file), the typed and list queries, adds a
// property, iterates, and queries everything again.
void Configuration(Obs &o, int secure) {
  uint32_t status = 0;
  Properties *p = LoadPropertiesInternal(GetEnv().conf.c_str(), nullptr, &status, secure);
  o.Step(0, status, {kNoMem}, "load");
  if (!o.Check((p == nullptr) == (status != PROPS_OK), "load: set and status %u disagree", status) ||
      p == nullptr)
    return;
  bool added = false;
  for (int pass = 0; pass < 2; ++pass) {
    const int base = 1 + pass * 20;
    for (int k = 0; k < kTextKeyCount; ++k) Text(o, p, base + k, kTextKeys[k], pass == 1);
    Typed(o, p, base + kTextKeyCount);
    Lists(o, p, base + kTextKeyCount + 3);
    if (pass == 0) {
      SetProperty(p, "added", "value $name", &status);
      o.Step(base + 18, status, {kNoMem}, "set");
      added = status == PROPS_OK;
    }
    if (added) Text(o, p, base + 19, "added", pass == 1);
  }
  Iterate(o, p, 41);
  FreeProperties(p);
}

// A failing call of the loader gives the status of its errno as secure
// opening maps it; a file that cannot be sized or mapped, exhausted memory.
const std::vector<CallFault> kLoaderFaults = {
    {Call::kOpen, ENOENT, {PROPS_ERR_NOENT}},    {Call::kOpen, EACCES, {PROPS_ERR_PERMISSION}},
    {Call::kOpen, EMFILE, {PROPS_ERR_SYSTEM}},   {Call::kOpen, EINTR, {PROPS_ERR_SYSTEM}},
    {Call::kFstat, EIO, {PROPS_ERR_SYSTEM}},     {Call::kFstat, EACCES, {PROPS_ERR_PERMISSION}},
    {Call::kLstat, ENOENT, {PROPS_ERR_NOENT}},   {Call::kLstat, EIO, {PROPS_ERR_SYSTEM}},
    {Call::kStat, ENOENT, {PROPS_ERR_NOENT}},    {Call::kStat, EIO, {PROPS_ERR_SYSTEM}},
    {Call::kFdopen, EMFILE, {PROPS_ERR_SYSTEM}}, {Call::kFseeko, EIO, {PROPS_ERR_NOMEM}},
    {Call::kMmap, ENOMEM, {PROPS_ERR_NOMEM}}};

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

// A failing call gives the status of its errno; a failed lookup before
// replacing ("no such file") lets the exclusive open meet the file that is
// still there.
const std::vector<CallFault> kSecureWriteFaults = {{Call::kLstat, ENOENT, {SOPEN_NOENT, SOPEN_EXISTS}},
                                                   {Call::kLstat, EACCES, {SOPEN_ACCESS}},
                                                   {Call::kLstat, EIO, {SOPEN_OTHER}},
                                                   {Call::kUnlink, EACCES, {SOPEN_ACCESS}},
                                                   {Call::kUnlink, EBUSY, {SOPEN_OTHER}},
                                                   {Call::kOpen, EEXIST, {SOPEN_EXISTS}},
                                                   {Call::kOpen, EINVAL, {SOPEN_INVALID}},
                                                   {Call::kOpen, EAGAIN, {SOPEN_WOULD_BLOCK}},
                                                   {Call::kOpen, EMFILE, {SOPEN_OTHER}},
                                                   {Call::kFstat, EIO, {SOPEN_OTHER}},
                                                   {Call::kFtruncate, EIO, {SOPEN_OTHER}},
                                                   {Call::kFdopen, EMFILE, {SOPEN_OTHER}}};

}  // namespace

std::vector<Scenario> FileScenarios() {
  return {
      {"props_load_process_query_iterate", [](Obs &o) { Configuration(o, 0); }, kLoaderFaults},
      // With all checks: its allocations are those of the plain load.
      {"props_secure_load_process_query_iterate", [](Obs &o) { Configuration(o, 1); }, kLoaderFaults, false,
       true},
      {"secure_open_for_writing", SecureWrite, kSecureWriteFaults, false, true},
  };
}

}  // namespace sweep
