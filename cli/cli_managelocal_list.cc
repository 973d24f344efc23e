// Account list output: the agent's entries, unchanged, one per line.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cli/cli_managelocal.h"
#include "kest/logger.h"

namespace {

// Entries are gathered into blocks of this size and written with write(2),
// so a long list costs a few system calls, not one per entry.
constexpr size_t kOutputBlock = 64 * 1024;

bool WriteAll(int fd, const char *bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

class BlockWriter {
 public:
  explicit BlockWriter(int fd) : fd_(fd) { block_.reserve(kOutputBlock); }

  void add(const char *bytes, size_t length) {
    if (block_.size() + length > kOutputBlock) flush();
    if (length >= kOutputBlock) {
      ok_ = ok_ && WriteAll(fd_, bytes, length);
      return;
    }
    block_.append(bytes, length);
  }

  bool flush() {
    if (!block_.empty()) ok_ = ok_ && WriteAll(fd_, block_.data(), block_.size());
    block_.clear();
    return ok_;
  }

 private:
  int fd_;
  std::string block_;
  bool ok_ = true;
};

}  // namespace

bool PrintListTo(int fd, char *const *entries) {
  auto logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  if (entries == nullptr || entries[0] == nullptr) return true;
  const bool debug = logger && logger->isEnabled(kest::Logger::DEBUG);
  BlockWriter out(fd);
  for (char *const *entry = entries; *entry != nullptr; ++entry) {
    if (debug) logger->log(kest::Logger::DEBUG, kCommandLogSource, __LINE__, "PrintList", "%s", *entry);
    out.add(*entry, strlen(*entry));
    out.add("\n", 1);
  }
  return out.flush();
}

bool PrintList(char *const *entries) {
  // Whatever stdio holds goes first, so the output keeps its order.
  fflush(stdout);
  return PrintListTo(STDOUT_FILENO, entries);
}
