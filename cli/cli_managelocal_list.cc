// Account list output: the agent's entries, unchanged, one per line, read
// in place from the reply.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cli/cli_managelocal.h"
#include "kest/logger.h"

namespace {

// Entries are copied from the reply into a block of this size, which is
// written with write(2) whenever it is full: a long list costs a few system
// calls and one copy per entry, nothing per entry beyond that.
constexpr size_t kOutputBlock = size_t{64} * 1024;

// Writes all `length` bytes, going on after short writes and EINTR. False
// on a failed write, with its errno.
bool WriteAll(int fd, const char *bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;  // no progress and no error: give up rather than spin
      return false;
    }
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// Lines into a fixed block. After a failed write nothing more is copied or
// written; Flush then reports the failure with the errno of that write.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}

  // Appends `length` bytes of `text` and a line feed.
  void AddLine(const char *text, size_t length) {
    if (error_ != 0) return;
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
    if (error_ == 0 && used_ > 0 && !WriteAll(fd_, block_, used_)) error_ = errno;
    used_ = 0;
    if (error_ == 0) return true;
    errno = error_;
    return false;
  }

 private:
  int fd_;
  size_t used_ = 0;
  int error_ = 0;
  char block_[kOutputBlock];
};

}  // namespace

bool PrintListTo(int fd, MsgSetReader entries) {
  auto logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  const bool debug = logger && logger->isEnabled(kest::Logger::DEBUG);
  LineWriter out(fd);
  const char *entry = nullptr;
  uint32_t length = 0;
  // A null item ends the list, as the end of the set does. An item that
  // cannot be read fails the list.
  while (entries.left > 0) {
    if (MsgNextSetItem(&entries, &entry, &length) != MSG_OK) {
      (void)out.Flush();  // what was read goes out, but the list has failed
      return false;
    }
    if (entry == nullptr) break;
    // An entry holding a NUL byte ends there, as a C string would.
    const void *nul = memchr(entry, '\0', length);
    const size_t shown =
        nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - entry) : length;
    if (debug) {
      logger->log(kest::Logger::DEBUG, kCommandLogSource, __LINE__, "PrintList", "%.*s",
                  static_cast<int>(shown), entry);
    }
    out.AddLine(entry, shown);
  }
  return out.Flush();
}

bool PrintList(MsgSetReader entries) {
  // Whatever stdio holds goes first, so the output keeps its order.
  (void)fflush(stdout);
  return PrintListTo(STDOUT_FILENO, entries);
}
