#include "kest/text.h"

#include <errno.h>
#include <stdio.h>

#include <string>

namespace kest {
namespace {

constexpr const char kCommPath[] = "/proc/self/comm";
constexpr const char kUnknownProgram[] = "unknown";

std::string &ProgramName() {
  static std::string name;
  return name;
}

std::string KernelProcessName() {
  FILE *file = fopen(kCommPath, "re");
  if (file == nullptr) return std::string();
  char buffer[64] = "";
  if (fgets(buffer, sizeof buffer, file) == nullptr) buffer[0] = '\0';
  (void)fclose(file);  // read only: nothing to lose
  std::string name(buffer);
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

}  // namespace

std::string uidtoa(uid_t uid) { return std::to_string(static_cast<unsigned long>(uid)); }

std::string lower(const std::string &text) {
  std::string result(text);
  for (char &c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

const std::string &progname() { return ProgramName(); }

void detect_progname() {
  std::string &name = ProgramName();
  if (!name.empty()) return;
  // The C library keeps the last component of argv[0] from program start.
  if (program_invocation_short_name != nullptr) name = program_invocation_short_name;
  if (name.empty()) name = KernelProcessName();
  if (name.empty()) name = kUnknownProgram;
}

}  // namespace kest
