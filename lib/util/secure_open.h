/* Secure file opening.
 *
 * Files that steer a root-run program must not be replaceable by an
 * unprivileged user. These functions open a file and verify, on the opened
 * descriptor, that it is a regular file and that the path still names that
 * very file; the secure forms also require that it is not a symbolic link,
 * has exactly one hard link, is not writable by others and is owned by a
 * system account (uid below SECURE_OPEN_MAX_SYSTEM_UID).
 *
 * Every function reports one status through `status` (0 on success; a null
 * `status` is allowed) and closes whatever it opened on failure. A null path
 * gives SOPEN_INVALID. A failing system call gives the status of its errno
 * (ENOENT, EACCES, EINVAL, EEXIST, EAGAIN), SOPEN_OTHER for any other errno. The caller owns the returned
 * descriptor or stream. Descriptors keep O_NONBLOCK, which is added so that
 * opening a FIFO or device cannot hang.
 */
#ifndef VX_UTIL_SECURE_OPEN_H
#define VX_UTIL_SECURE_OPEN_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Owners with a uid at or above this are refused by the secure checks. */
#define SECURE_OPEN_MAX_SYSTEM_UID 5

/* Open statuses. */
enum {
  SOPEN_OK = 0,
  SOPEN_NOENT = 1,        /* the file does not exist */
  SOPEN_BAD_OWNER = 2,    /* owner uid >= SECURE_OPEN_MAX_SYSTEM_UID */
  SOPEN_WORLD_WRITE = 3,  /* writable by others */
  SOPEN_ACCESS = 4,       /* permission denied */
  SOPEN_SYMLINK = 5,      /* the path names a symbolic link */
  SOPEN_HARDLINKS = 6,    /* more than one hard link */
  SOPEN_INVALID = 7,      /* EINVAL, or truncation with read-only access */
  SOPEN_EXISTS = 8,       /* the file already exists */
  SOPEN_NOT_REGULAR = 9,  /* not a regular file */
  SOPEN_WOULD_BLOCK = 10, /* EAGAIN */
  SOPEN_OTHER = 11        /* any other error, or the path changed under us */
};

/* Relaxation mask bits; 0 runs every check. */
enum {
  SOPEN_FOLLOW_LINK = 1,    /* check the path with stat instead of lstat */
  SOPEN_ANY_LINKS = 2,      /* allow any number of hard links */
  SOPEN_WORLD_WRITABLE = 4, /* allow a file writable by others */
  SOPEN_ANY_OWNER = 8,      /* allow any owner */
  SOPEN_PLAIN = 15          /* only the regular-file and same-file checks */
};

/* Write modes of the writing functions. Any other value behaves as
 * WRITE_MODE_APPEND for the descriptor and opens the stream with "w". */
enum {
  WRITE_MODE_REPLACE = 0, /* remove an existing file, create a new one */
  WRITE_MODE_APPEND = 1,  /* create or append */
  WRITE_MODE_CREATE = 2   /* create; status 8 when the file exists */
};

/* Opens `path` with `flags` (O_TRUNC removed, O_NONBLOCK added) and `mode`,
 * then checks the descriptor against the path, relaxed by `mask`, in this
 * order: regular file (9); lstat of the path, or stat with
 * SOPEN_FOLLOW_LINK (5 for a link); same device and inode (11); one link
 * (6); not writable by others (3); owner (2). O_TRUNC with read-only access
 * then gives 7 and leaves the file alone; otherwise the file is truncated
 * after the checks. Returns the descriptor, or -1. */
VX_API int SecureOpen(const char *path, int flags, mode_t mode, uint32_t mask, uint32_t *status);

/* Read-only descriptor or "r" stream; Secure* run every check, the others
 * only the regular-file and same-file checks (SOPEN_PLAIN). */
VX_API int OpenForReading(const char *path, uint32_t *status);
VX_API int SecureOpenForReading(const char *path, uint32_t *status);
VX_API FILE *FOpenForReading(const char *path, uint32_t *status);
VX_API FILE *SecureFOpenForReading(const char *path, uint32_t *status);

/* Write-only descriptor, or a stream ("a" for WRITE_MODE_APPEND, else "w"),
 * of a file created with `mode` when missing; see the write modes above.
 * WRITE_MODE_REPLACE unlinks whatever the path names first (a link itself,
 * never its target). */
VX_API int OpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status);
VX_API int SecureOpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status);
VX_API FILE *FOpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status);
VX_API FILE *SecureFOpenForWriting(const char *path, mode_t mode, int write_mode, uint32_t *status);

/* The checks of an opened file's own attributes, relaxed by `mask`, in this
 * order: one link (6), not writable by others (3), owner below
 * SECURE_OPEN_MAX_SYSTEM_UID (2); 0 when all pass. For other openers of
 * files a root program trusts (the emergency log file), so that one rule
 * holds for all of them. Internal to the library: not exported. */
struct stat;
uint32_t SecureOpenCheckAttributes(const struct stat *st, uint32_t mask);

VX_END_DECLS

#endif
