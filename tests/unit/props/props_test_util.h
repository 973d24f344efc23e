// Helpers shared by the configuration library tests.
#pragma once

#include <stdint.h>

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

// An empty set, as the loader returns for an empty file.
SetPtr NewSet();

// Writes `text` to a file in `dir` and loads it with the plain loader.
SetPtr LoadText(const vxtest::TempDir &dir, const std::string &text, uint32_t *status = nullptr);

// (key, raw value) of every property, in list order (newest first).
Pairs ListPairs(const Properties *set);

// Adds each (key, raw value) with SetProperty, in the order given.
void SetAll(Properties *set, const Pairs &pairs);

}  // namespace propstest
