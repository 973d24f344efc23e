// Command-line words of vxaccounts: the input, split at NUL bytes into
// words, goes through the command's option handling up to the point where
// the run would contact the agent. Option errors end the process with
// status 7; an installed exit function turns that into an exception so the
// target stays in-process. Whatever the words, the handling must end with
// 0 or 7, or leave options that a run may act on.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/cli_managelocal.h"

namespace {

constexpr size_t kMaxWords = 256;
constexpr int kUsageStatus = 7;

struct OptionExit {
  int status;
};

[[noreturn]] void ThrowOptionExit(int status) { throw OptionExit{status}; }

// Usage text, version line, getopt_long's diagnostics and option errors go
// to /dev/null; option errors are logged at ERROR, which the mask drops
// before it reaches syslog.
FILE *NullStream() {
  static FILE *null = [] {
    SetOptionExitFunction(ThrowOptionExit);
    setlogmask(LOG_MASK(LOG_EMERG));
    return fopen("/dev/null", "w");
  }();
  return null;
}

std::vector<std::string> SplitWords(const uint8_t *data, size_t size) {
  std::vector<std::string> words;
  if (size == 0) return words;
  std::string word;
  for (size_t i = 0; i < size && words.size() < kMaxWords; ++i) {
    if (data[i] != 0) {
      word += static_cast<char>(data[i]);
      continue;
    }
    words.push_back(word);
    word.clear();
  }
  if (words.size() < kMaxWords) words.push_back(word);
  return words;
}

// Options with which the run goes on to the agent.
bool RunnableOptions(const CommandOptions &o) {
  if (!o.dumpName.empty()) return o.dumpName == "user" || o.dumpName == "group";
  if (o.action == ACTION_NONE) return false;
  if (o.action == ACTION_LIST && (o.category == CATEGORY_NONE || o.listType == LIST_INVALID)) return false;
  if (o.action != ACTION_LIST && o.category != CATEGORY_NONE) return false;
  return !((o.force || o.profileOnly) && o.action != ACTION_RELOAD);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *null = NullStream();
  std::vector<std::string> words = SplitWords(data, size);
  if (words.empty() || null == nullptr) return 0;  // no arguments: usage before any option handling
  std::vector<char *> argv;
  static char program[] = "vxaccounts";
  argv.push_back(program);
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  FILE *out = stdout, *err = stderr;
  stdout = stderr = null;
  CommandOptions options;
  std::optional<int> end;
  bool exited = false;
  try {
    end = ParseOptions(static_cast<int>(argv.size()) - 1, argv.data(), options);
  } catch (const OptionExit &e) {
    exited = true;
    end = e.status;
  }
  stdout = out;
  stderr = err;

  if (!end) {
    if (!RunnableOptions(options)) abort();
  } else if (*end != kUsageStatus && (exited || *end != 0)) {
    abort();  // only usage (7) and -v (0) end the run here
  }
  return 0;
}
