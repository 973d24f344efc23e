// Secure file opening: open first, then judge the opened descriptor and
// make sure the path still names it, so a file swapped in between the
// checks and the open is never handed out.

#include "util/secure_open.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

#include "util/scope.h"

namespace {

struct ErrnoStatus {
  int err;
  uint32_t status;
};

// The system errors that have a status of their own; all others give
// SOPEN_OTHER.
constexpr ErrnoStatus kErrnoStatuses[] = {
    {ENOENT, SOPEN_NOENT},  {EACCES, SOPEN_ACCESS},      {EINVAL, SOPEN_INVALID},
    {EEXIST, SOPEN_EXISTS}, {EAGAIN, SOPEN_WOULD_BLOCK},
};

uint32_t StatusOfErrno(int err) {
  for (const ErrnoStatus &row : kErrnoStatuses) {
    if (row.err == err) return row.status;
  }
  return SOPEN_OTHER;
}

using vx::SetStatus;

// Judges the opened descriptor against the path, the first failing check
// deciding.
uint32_t CheckOpened(int fd, const char *path, uint32_t mask) {
  struct stat opened {};
  if (fstat(fd, &opened) != 0) return StatusOfErrno(errno);
  if (!S_ISREG(opened.st_mode)) return SOPEN_NOT_REGULAR;

  struct stat named {};
  const bool follow = (mask & SOPEN_FOLLOW_LINK) != 0;
  if ((follow ? stat(path, &named) : lstat(path, &named)) != 0) return StatusOfErrno(errno);
  if (!follow && S_ISLNK(named.st_mode)) return SOPEN_SYMLINK;
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) return SOPEN_OTHER;

  return SecureOpenCheckAttributes(&opened, mask);
}

// Closes `fd` (keeping errno intact for the caller) and reports `value`.
int Fail(int fd, uint32_t value, uint32_t *status) {
  if (fd >= 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  SetStatus(status, value);
  return -1;
}

struct WriteMode {
  int mode;
  int flags;
  const char *stream_mode;
};

constexpr WriteMode kWriteModes[] = {
    {WRITE_MODE_REPLACE, O_WRONLY | O_CREAT | O_EXCL, "w"},
    {WRITE_MODE_APPEND, O_WRONLY | O_CREAT | O_APPEND, "a"},
    {WRITE_MODE_CREATE, O_WRONLY | O_CREAT | O_EXCL, "w"},
};
// Unknown write modes open like append but get a "w" stream.
constexpr WriteMode kOtherWriteMode = {-1, O_WRONLY | O_CREAT | O_APPEND, "w"};

const WriteMode &LookupWriteMode(int mode) {
  for (const WriteMode &row : kWriteModes) {
    if (row.mode == mode) return row;
  }
  return kOtherWriteMode;
}

// Replace mode: an existing entry at the path (a link is removed, not its
// target) makes way for the new file.
uint32_t RemoveExisting(const char *path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return errno == ENOENT ? uint32_t{SOPEN_OK} : StatusOfErrno(errno);
  return unlink(path) == 0 ? uint32_t{SOPEN_OK} : StatusOfErrno(errno);
}

int OpenWriting(const char *path, mode_t mode, int write_mode, uint32_t mask, uint32_t *status) {
  if (path == nullptr) return Fail(-1, SOPEN_INVALID, status);
  if (write_mode == WRITE_MODE_REPLACE) {
    const uint32_t removed = RemoveExisting(path);
    if (removed != SOPEN_OK) return Fail(-1, removed, status);
  }
  return SecureOpen(path, LookupWriteMode(write_mode).flags, mode, mask, status);
}

// Wraps a descriptor from one of the descriptor functions in a stream.
FILE *ToStream(int fd, const char *stream_mode, uint32_t *status) {
  if (fd < 0) return nullptr;
  FILE *stream = fdopen(fd, stream_mode);
  if (stream == nullptr) {
    Fail(fd, StatusOfErrno(errno), status);
    return nullptr;
  }
  SetStatus(status, SOPEN_OK);
  return stream;
}

}  // namespace

extern "C" {

uint32_t SecureOpenCheckAttributes(const struct stat *st, uint32_t mask) {
  if ((mask & SOPEN_ANY_LINKS) == 0 && st->st_nlink != 1) return SOPEN_HARDLINKS;
  if ((mask & SOPEN_WORLD_WRITABLE) == 0 && (st->st_mode & S_IWOTH) != 0) return SOPEN_WORLD_WRITE;
  if ((mask & SOPEN_ANY_OWNER) != 0 || st->st_uid < SECURE_OPEN_MAX_SYSTEM_UID) return SOPEN_OK;
  return SOPEN_BAD_OWNER;
}

int SecureOpen(const char *path, int flags, mode_t mode, uint32_t mask, uint32_t *status) {
  if (path == nullptr) return Fail(-1, SOPEN_INVALID, status);
  const int fd = open(path, (flags & ~O_TRUNC) | O_NONBLOCK, mode);
  if (fd < 0) return Fail(-1, StatusOfErrno(errno), status);
  const uint32_t checked = CheckOpened(fd, path, mask);
  if (checked != SOPEN_OK) return Fail(fd, checked, status);
  if ((flags & O_TRUNC) != 0) {
    if ((flags & O_ACCMODE) == O_RDONLY) return Fail(fd, SOPEN_INVALID, status);
    if (ftruncate(fd, 0) != 0) return Fail(fd, StatusOfErrno(errno), status);
  }
  SetStatus(status, SOPEN_OK);
  return fd;
}

int OpenForReading(const char *path, uint32_t *status) {
  return SecureOpen(path, O_RDONLY, 0, SOPEN_PLAIN, status);
}

int SecureOpenForReading(const char *path, uint32_t *status) {
  return SecureOpen(path, O_RDONLY, 0, 0, status);
}

FILE *FOpenForReading(const char *path, uint32_t *status) {
  return ToStream(OpenForReading(path, status), "r", status);
}

FILE *SecureFOpenForReading(const char *path, uint32_t *status) {
  return ToStream(SecureOpenForReading(path, status), "r", status);
}

int OpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status) {
  return OpenWriting(path, mode, write_mode, SOPEN_PLAIN, status);
}

int SecureOpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status) {
  return OpenWriting(path, mode, write_mode, 0, status);
}

FILE *FOpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status) {
  return ToStream(OpenForWriting(path, mode, write_mode, status), LookupWriteMode(write_mode).stream_mode,
                  status);
}

FILE *SecureFOpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status) {
  return ToStream(SecureOpenForWriting(path, mode, write_mode, status),
                  LookupWriteMode(write_mode).stream_mode, status);
}

}  // extern "C"
