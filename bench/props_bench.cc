// Configuration library: loading files of 1, 10 and 100 MB, a set of
// 200,000 properties queried key by key, a single 1 MB value and a
// 100,000-line include file. Data files are generated under /tmp when the
// program starts and removed when it ends.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "props/props.h"

namespace {

// One generated file, removed at exit.
struct DataFile {
  std::string path;
  size_t size = 0;
  DataFile(const std::string &name, const std::string &content) {
    path = "/tmp/vxbench-props." + std::to_string(getpid()) + "." + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
      size = fwrite(content.data(), 1, content.size(), f);
      fclose(f);
    }
  }
  ~DataFile() { unlink(path.c_str()); }
};

// About `bytes` of typical lines: dotted keys, blanks around the separator,
// an occasional comment and quoted value.
std::string ConfigText(size_t bytes, size_t *lines = nullptr) {
  std::string text;
  text.reserve(bytes + 128);
  char line[160];
  size_t n = 0;
  while (text.size() < bytes) {
    int len =
        (n % 50 == 0) ? snprintf(line, sizeof line, "# section %zu of the generated file\n", n)
        : (n % 7 == 0)
            ? snprintf(line, sizeof line, "agent.section%zu.path = \"/var/lib/agent %zu\"\n", n, n)
            : snprintf(line, sizeof line, "agent.section%zu.value%zu : some value text %zu\n", n % 97, n, n);
    text.append(line, static_cast<size_t>(len));
    ++n;
  }
  if (lines != nullptr) *lines = n;
  return text;
}

Properties *Load(const std::string &path, benchmark::State &state) {
  uint32_t status = 0;
  Properties *set = LoadProperties(path.c_str(), nullptr, &status);
  if (set == nullptr) state.SkipWithError("load failed");
  return set;
}

void BM_Load(benchmark::State &state) {
  static DataFile files[] = {{"1mb", ConfigText(1 << 20)}, {"10mb", ConfigText(10 << 20)}};
  DataFile *file = state.range(0) == 1 ? &files[0] : &files[1];
  std::unique_ptr<DataFile> big;
  if (state.range(0) == 100) {
    big = std::make_unique<DataFile>("100mb", ConfigText(100 << 20));
    file = big.get();
  }
  for (auto _ : state) {
    Properties *set = Load(file->path, state);
    benchmark::DoNotOptimize(set);
    FreeProperties(set);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size));
}
BENCHMARK(BM_Load)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// 200,000 properties in 10 MB: load, then query every key's processed value
// in list order (lookup by name is a linear scan by design, so every key is
// reached through the list), and 100 lookups by name spread over the set.
void BM_LoadAndQueryEveryKey(benchmark::State &state) {
  std::string text;
  char line[64];
  for (int i = 0; i < 200000; ++i) {
    int len = snprintf(line, sizeof line, "agent.key%06d = value number %06d padding text ..\n", i, i);
    text.append(line, static_cast<size_t>(len));
  }
  DataFile file("200k", text);
  for (auto _ : state) {
    Properties *set = Load(file.path, state);
    size_t total = 0;
    for (Property *p = set->head; p != nullptr; p = p->next) {
      ProcessRawValue(p, set, nullptr);
      total += strlen(p->processed);
    }
    for (int i = 0; i < 200000; i += 2000) {
      snprintf(line, sizeof line, "agent.key%06d", i);
      total += strlen(GetProperty(set, line, "", nullptr)) +
               static_cast<size_t>(GetPropertyInt(set, line, 0, nullptr));
    }
    benchmark::DoNotOptimize(total);
    FreeProperties(set);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}
BENCHMARK(BM_LoadAndQueryEveryKey)->Unit(benchmark::kMillisecond);

// One value of 1 MB, plain or quoted (quoted blanks are stored escaped),
// loaded and processed.
void BM_SingleValue1MB(benchmark::State &state) {
  bool quoted = state.range(0) != 0;
  std::string value;
  while (value.size() < (1 << 20)) value += quoted ? "a b\\c " : "word ";
  DataFile file(quoted ? "quoted" : "plain", std::string("big = ") + (quoted ? "\"" : "") + value + "\n");
  for (auto _ : state) {
    Properties *set = Load(file.path, state);
    benchmark::DoNotOptimize(GetProperty(set, "big", nullptr, nullptr));
    FreeProperties(set);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}
BENCHMARK(BM_SingleValue1MB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A value including a list file of 100,000 lines: load, include, process,
// and look up the last element.
void BM_Include100kLines(benchmark::State &state) {
  std::string list;
  for (int i = 0; i < 100000; ++i)
    list += (i % 10 == 0 ? "# comment\n" : "") + ("user" + std::to_string(i) + "\n");
  DataFile list_file("list", list);
  DataFile main_file("main", "users = file:" + list_file.path + "\n");
  for (auto _ : state) {
    Properties *set = Load(main_file.path, state);
    benchmark::DoNotOptimize(GetProperty(set, "users", nullptr, nullptr));
    if (IsStringInPropertyList(set, "users", "user99999", nullptr, nullptr) != 1)
      state.SkipWithError("not found");
    FreeProperties(set);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list_file.size));
}
BENCHMARK(BM_Include100kLines)->Unit(benchmark::kMillisecond);

}  // namespace
