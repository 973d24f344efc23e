// Loads arbitrary bytes as a configuration file and runs every query on
// every key found, plus value processing of the bytes themselves and of a
// chain of properties that refer to each other.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "props/props.h"

namespace {

// The input goes to one file per process (in memory-backed /dev/shm), rewritten for every input. It is
// owned by the running user with mode 0600, so the secure loader accepts it
// when the fuzzer runs as root and refuses it (which is exercised too)
// otherwise.
void RemoveInput();

const std::string &InputPath() {
  static const std::string path = "/dev/shm/vxfuzz-props." + std::to_string(getpid()) + ".conf";
  // Registered after the path exists, so it runs before the path is destroyed.
  static const bool cleanup_registered = atexit(RemoveInput) == 0;
  (void)cleanup_registered;
  return path;
}

void RemoveInput() { unlink(InputPath().c_str()); }

bool WriteInput(const uint8_t *data, size_t size) {
  int fd = open(InputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == size;
}

void FreeList(char **items) {
  for (size_t i = 0; items != nullptr && items[i] != nullptr; ++i) free(items[i]);
  free(items);
}

void QueryKey(Properties *set, const std::string &key) {
  const char *k = key.c_str();
  uint32_t status = 0;
  const char *value = GetProperty(set, k, "default", &status);
  GetPropertyBool(set, k, 1, &status);
  GetPropertyInt(set, k, -1, &status);
  for (char unit : {'s', 'm', 'M', 'x'}) GetPropertyTime(set, k, unit, 7, &status);
  IsStringInPropertyList(set, k, k, nullptr, &status);
  if (value != nullptr) {
    std::string copy = value;  // the value may be replaced by include processing
    IsStringInPropertyList(set, k, copy.c_str(), "a,b", &status);
  }
  IsIntegerInPropertyList(set, k, 1, "0-2", &status);
  uint32_t count = 0;
  FreeList(GetValueList(set, k, &count, &status));
}

void Iterate(Properties *set, const char *prefix) {
  PropertyIter *it = PropertyIterator(set, prefix, nullptr);
  while (PropertyNext(it) != nullptr) {
  }
  FreePropertyIterator(it);
}

void ProcessAsValue(Properties *set, const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  SetProperty(set, "fz.raw", text.c_str(), nullptr);
  SetProperty(set, "fz.a", "$fz.b a", nullptr);
  SetProperty(set, "fz.b", "$fz.c $fz.raw", nullptr);
  SetProperty(set, "fz.c", "c $fz.a $HOME \\$x", nullptr);
  uint32_t status = 0;
  free(ProcessRawValue1(text.c_str(), set, &status));
  for (const char *k : {"fz.a", "fz.raw"}) QueryKey(set, k);
}

// Reads the input once more as an include file, as a value and as a
// default list (on a share of the inputs only: opening files is slow).
void IncludeInput(Properties *set) {
  std::string ref = "file:" + InputPath();
  SetProperty(set, "fz.inc", ref.c_str(), nullptr);
  QueryKey(set, "fz.inc");
  IsStringInPropertyList(set, "fz.absent", "x", ref.c_str(), nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!WriteInput(data, size)) return 0;
  static const char *const kPrefixes[] = {"a", "b.", "fz.", "lo", "log.", nullptr};
  bool filtered = size > 0 && (data[0] & 1) != 0;
  uint32_t status = 0;
  Properties *set = LoadPropertiesInternal(InputPath().c_str(), filtered ? kPrefixes : nullptr, &status,
                                           size > 1 && (data[1] & 1));
  if (set == nullptr) set = LoadPropertiesWithoutSecurity(InputPath().c_str(), nullptr, &status);
  if (set == nullptr) return 0;
  std::vector<std::string> keys;
  for (const Property *p = set->head; p != nullptr; p = p->next) keys.emplace_back(p->key);
  for (const std::string &key : keys) QueryKey(set, key);
  Iterate(set, nullptr);
  if (!keys.empty()) Iterate(set, keys.back().c_str());
  ProcessAsValue(set, data, size);
  if (size > 2 && (data[2] & 7) == 0) IncludeInput(set);
  FreeProperties(set);
  return 0;
}
