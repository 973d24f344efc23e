#include "props_test_util.h"

#include <stdlib.h>

namespace propstest {

SetPtr NewSet() { return SetPtr(static_cast<Properties *>(calloc(1, sizeof(Properties)))); }

SetPtr LoadText(const vxtest::TempDir &dir, const std::string &text, uint32_t *status) {
  std::string path = dir.write("test.conf", text, 0644);
  return SetPtr(LoadPropertiesWithoutSecurity(path.c_str(), nullptr, status));
}

Pairs ListPairs(const Properties *set) {
  Pairs pairs;
  for (const Property *p = set != nullptr ? set->head : nullptr; p != nullptr; p = p->next) {
    pairs.emplace_back(p->key, p->value);
  }
  return pairs;
}

void SetAll(Properties *set, const Pairs &pairs) {
  for (const auto &[key, value] : pairs) SetProperty(set, key.c_str(), value.c_str(), nullptr);
}

}  // namespace propstest
