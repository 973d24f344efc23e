/* Preloaded into vxaccounts by the e2e table: the first calloc of one
 * release-list block gives null, as when memory runs out just then, and
 * leaves the file /var/log/calloc-failed (the test's private /var/log) so
 * that the test can tell that the failure happened. */
#include <fcntl.h>
#include <stddef.h>
#include <unistd.h>

#include "client_common/cleanup_list.h"

extern void *__libc_calloc(size_t count, size_t size);

static int failed;

void *calloc(size_t count, size_t size) {
  if (failed || count != 1 || size != sizeof(CleanupList)) return __libc_calloc(count, size);
  failed = 1;
  int fd = open("/var/log/calloc-failed", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  return NULL;
}
