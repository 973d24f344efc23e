/* A minimal list client, for comparison only (not product code): one
 * request of type 113 ("all", "user" unless given) to the agent socket, the
 * reply read into a 2 MiB-aligned anonymous mapping advised for transparent
 * huge pages, and the entries written in place to standard output through
 * one 64 KiB block. What any client must do, and nothing else: no
 * configuration, no logging, no audit, no copies.
 *
 *   ref_client [SOCKET [SELECTION CATEGORY]]   (default /var/vorlex/daemon2)
 *
 * Exit status 0 when every entry was written, 1 otherwise. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define MAGIC 0xABCD8012u
#define HEADER 8u
#define LIST_TYPE 113u
#define HUGE_PAGE (2u << 20)
#define OUT_BLOCK (64u * 1024u)
#define NULL_LENGTH 0xFFFFFFFFu

static int MoveAll(int fd, void *buf, size_t n, int sending) {
  unsigned char *p = buf;
  while (n > 0) {
    ssize_t r = sending ? send(fd, p, n, MSG_NOSIGNAL) : recv(fd, p, n, MSG_WAITALL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

static int WriteAll(const char *p, size_t n) {
  while (n > 0) {
    ssize_t r = write(STDOUT_FILENO, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

static size_t PutItem(unsigned char *p, const char *text) {
  const uint32_t length = (uint32_t)strlen(text);
  p[0] = 4;
  memcpy(p + 1, &length, 4);
  memcpy(p + 5, text, length);
  return 5 + length;
}

static int Connect(const char *path) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  if (strlen(path) >= sizeof addr.sun_path) return -1;
  strcpy(addr.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) return -1;
  uint32_t word = 3;
  if (MoveAll(fd, &word, 4, 1) != 0 || MoveAll(fd, &word, 4, 0) != 0 || word != 1) return -1;
  return fd;
}

/* The reply block, `total` bytes with the header in place; null on failure. */
static unsigned char *Receive(int fd, uint32_t *total) {
  uint32_t header[2];
  if (MoveAll(fd, header, sizeof header, 0) != 0 || header[0] != MAGIC || header[1] < HEADER + 3) return NULL;
  const size_t rounded = ((size_t)header[1] + HUGE_PAGE - 1) & ~(size_t)(HUGE_PAGE - 1);
  unsigned char *raw =
      mmap(NULL, rounded + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return NULL;
  unsigned char *block = (unsigned char *)(((uintptr_t)raw + HUGE_PAGE - 1) & ~(uintptr_t)(HUGE_PAGE - 1));
  (void)madvise(block, rounded, MADV_HUGEPAGE);
  if (MoveAll(fd, block + HEADER, header[1] - HEADER, 0) != 0) return NULL;
  *total = header[1];
  return block;
}

/* Writes the string set after the reply's INT status; 0 when all went out. */
static int Print(const unsigned char *p, const unsigned char *end) {
  static char out[OUT_BLOCK];
  size_t used = 0;
  uint32_t count, length;
  int32_t status;
  if (end - p < 12 || p[2] != 2 || (memcpy(&status, p + 3, 4), status != 0) || p[7] != 7) return -1;
  memcpy(&count, p + 8, 4);
  p += 12;
  for (; count > 0; --count) {
    if (end - p < 4) return -1;
    memcpy(&length, p, 4);
    p += 4;
    if (length == NULL_LENGTH) break;
    if ((size_t)(end - p) < length) return -1;
    const unsigned char *nul = memchr(p, 0, length);
    size_t shown = nul != NULL ? (size_t)(nul - p) : length, done = 0;
    while (shown - done + 1 > OUT_BLOCK - used) {
      const size_t part = OUT_BLOCK - used < shown - done ? OUT_BLOCK - used : shown - done;
      memcpy(out + used, p + done, part);
      used += part;
      done += part;
      if (WriteAll(out, used) != 0) return -1;
      used = 0;
    }
    memcpy(out + used, p + done, shown - done);
    used += shown - done;
    out[used++] = '\n';
    p += length;
  }
  return WriteAll(out, used);
}

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "/var/vorlex/daemon2";
  const char *selection = argc > 3 ? argv[2] : "all", *category = argc > 3 ? argv[3] : "user";
  unsigned char request[256];
  if (strlen(selection) + strlen(category) > 200) return 1;
  const uint16_t type = LIST_TYPE;
  size_t n = HEADER;
  memcpy(request + n, &type, 2);
  n += 2;
  n += PutItem(request + n, selection);
  n += PutItem(request + n, category);
  request[n++] = 0;
  const uint32_t header[2] = {MAGIC, (uint32_t)n};
  memcpy(request, header, sizeof header);
  int fd = Connect(path);
  uint32_t total = 0;
  unsigned char *reply = fd >= 0 && MoveAll(fd, request, n, 1) == 0 ? Receive(fd, &total) : NULL;
  if (reply == NULL) {
    fprintf(stderr, "ref_client: no reply from %s\n", path);
    return 1;
  }
  return Print(reply + HEADER, reply + total) == 0 ? 0 : 1;
}
