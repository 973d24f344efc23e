/* Preloaded into vxaccounts by release_list_test.cc: the first calloc of
 * one release-list block gives null, as when memory runs out just then.
 * When VX_FAIL_MARK names a file, that file is created at the failure, so
 * a test can tell that the failure happened. */
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

#include "client_common/cleanup_list.h"

extern void *__libc_calloc(size_t count, size_t size);

static int failed;

void *calloc(size_t count, size_t size) {
  if (failed || count != 1 || size != sizeof(CleanupList)) return __libc_calloc(count, size);
  failed = 1;
  const char *mark = getenv("VX_FAIL_MARK");
  if (mark != NULL) {
    int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
  }
  return NULL;
}
