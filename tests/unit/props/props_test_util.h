// Helpers shared by the configuration library tests.
#pragma once

#include <stdlib.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "props/props.h"
#include "support/temp_dir.h"

namespace propstest {

struct SetDeleter {
  void operator()(Properties *p) const { FreeProperties(p); }
};
using SetPtr = std::unique_ptr<Properties, SetDeleter>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// A set built with SetProperty from `pairs`, in the order given.
inline SetPtr NewSet(const Pairs &pairs = {}) {
  SetPtr set(static_cast<Properties *>(calloc(1, sizeof(Properties))));
  for (const auto &[key, value] : pairs) SetProperty(set.get(), key.c_str(), value.c_str(), nullptr);
  return set;
}

}  // namespace propstest
