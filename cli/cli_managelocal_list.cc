// Account list output: the agent's entries, unchanged, one per line.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cli/cli_managelocal.h"
#include "kest/logger.h"

namespace {

// Entries are copied into a block of this size, which is written with
// write(2) whenever it is full: a long list costs a few system calls and one
// copy per entry, nothing per entry beyond that.
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

// Lines into a fixed block. After a failed write nothing more is copied or
// written; Flush then reports the failure.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}

  // Appends `text` and a line feed.
  void AddLine(const char *text) {
    if (!ok_) return;
    size_t length = strlen(text);
    // A line longer than the room left goes out in block-sized parts.
    while (length >= kOutputBlock - used_) {
      const size_t part = kOutputBlock - used_;
      memcpy(block_ + used_, text, part);
      used_ = kOutputBlock;
      text += part;
      length -= part;
      if (!Flush()) return;
    }
    memcpy(block_ + used_, text, length);
    block_[used_ + length] = '\n';
    used_ += length + 1;
  }

  bool Flush() {
    if (ok_ && used_ > 0) ok_ = WriteAll(fd_, block_, used_);
    used_ = 0;
    return ok_;
  }

 private:
  int fd_;
  size_t used_ = 0;
  bool ok_ = true;
  char block_[kOutputBlock];
};

}  // namespace

bool PrintListTo(int fd, char *const *entries) {
  auto logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  if (entries == nullptr || entries[0] == nullptr) return true;
  const bool debug = logger && logger->isEnabled(kest::Logger::DEBUG);
  LineWriter out(fd);
  for (char *const *entry = entries; *entry != nullptr; ++entry) {
    if (debug) logger->log(kest::Logger::DEBUG, kCommandLogSource, __LINE__, "PrintList", "%s", *entry);
    out.AddLine(*entry);
  }
  return out.Flush();
}

bool PrintList(char *const *entries) {
  // Whatever stdio holds goes first, so the output keeps its order.
  fflush(stdout);
  return PrintListTo(STDOUT_FILENO, entries);
}
