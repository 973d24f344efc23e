// Account list output: the agent's entries, unchanged, one per line, read
// in place from the reply; on a terminal their control bytes are shown
// escaped.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cli/cli_managelocal.h"
#include "kest/logger.h"
#include "util/control_escape.h"

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
    if (Add(text, length)) block_[used_++] = '\n';  // Add leaves room for it
  }

  // The same with control bytes escaped, for a terminal.
  void AddEscapedLine(const char *text, size_t length) {
    size_t plain = 0;  // start of the bytes not added yet
    for (size_t i = 0; i < length; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (!vx::IsEscapedControl(c)) continue;
      Add(text + plain, i - plain);
      char escape[vx::kControlEscapeMax];
      Add(escape, vx::EscapeControl(c, escape));
      plain = i + 1;
    }
    AddLine(text + plain, length - plain);
  }

  bool Flush() {
    if (error_ == 0 && used_ > 0 && !WriteAll(fd_, block_, used_)) error_ = errno;
    used_ = 0;
    if (error_ == 0) return true;
    errno = error_;
    return false;
  }

 private:
  // Appends `length` bytes; afterwards at least one byte of room is left.
  // False, adding nothing, once a write has failed.
  bool Add(const char *text, size_t length) {
    if (error_ != 0) return false;
    // Bytes beyond the room left go out in block-sized parts.
    while (length >= kOutputBlock - used_) {
      const size_t part = kOutputBlock - used_;
      memcpy(block_ + used_, text, part);
      used_ = kOutputBlock;
      text += part;
      length -= part;
      if (!Flush()) return false;
    }
    memcpy(block_ + used_, text, length);
    used_ += length;
    return true;
  }

  int fd_;
  size_t used_ = 0;
  int error_ = 0;
  char block_[kOutputBlock];
};

// `length` bytes of `text` with control bytes escaped.
std::string Escaped(const char *text, size_t length) {
  std::string escaped;
  escaped.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char escape[vx::kControlEscapeMax];
    const auto c = static_cast<unsigned char>(text[i]);
    if (vx::IsEscapedControl(c)) {
      escaped.append(escape, vx::EscapeControl(c, escape));
    } else {
      escaped += text[i];
    }
  }
  return escaped;
}

// Writes the entries, with control bytes escaped for a terminal or as they
// are; each gives a DEBUG record to `debug` when it is not null.
template <bool kEscaped>
bool WriteEntries(int fd, MsgSetReader entries, const kest::Logger *debug) {
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
    if (debug != nullptr) {
      // The record is a log line: the entry's control bytes must not end it.
      debug->log(kest::Logger::DEBUG, kCommandLogSource, __LINE__, "PrintList", "%s",
                 Escaped(entry, shown).c_str());
    }
    if constexpr (kEscaped) {
      out.AddEscapedLine(entry, shown);
    } else {
      out.AddLine(entry, shown);
    }
  }
  return out.Flush();
}

}  // namespace

bool PrintListTo(int fd, MsgSetReader entries) {
  auto logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  const kest::Logger *debug = logger && logger->isEnabled(kest::Logger::DEBUG) ? logger.get() : nullptr;
  // Decided once for the whole list: a pipe or file gets the bytes as they
  // are, at full speed.
  return isatty(fd) == 1 ? WriteEntries<true>(fd, entries, debug) : WriteEntries<false>(fd, entries, debug);
}

bool PrintList(MsgSetReader entries) {
  // Whatever stdio holds goes first, so the output keeps its order.
  (void)fflush(stdout);
  return PrintListTo(STDOUT_FILENO, entries);
}
