/* Cost of first touching fresh anonymous memory on this machine: one write
 * per 4 KiB page of a plain mapping, and one per 2 MiB of a 2 MiB-aligned
 * mapping advised for transparent huge pages. Prints the two costs, per
 * page fault and per MiB, as bench/compare reports them.
 *
 *   fault_cost [MiB]      (default 64) */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>

#define HUGE_PAGE (2u << 20)
#define SMALL_PAGE 4096u
#define ROUNDS 5

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* Seconds to touch every `step` bytes of `length` fresh bytes, best of
 * ROUNDS; -1 when memory cannot be mapped. */
static double Touch(size_t length, size_t step, int huge) {
  double best = -1;
  for (int round = 0; round < ROUNDS; ++round) {
    const size_t mapped = length + HUGE_PAGE;
    unsigned char *raw = mmap(NULL, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return -1;
    unsigned char *p = (unsigned char *)(((uintptr_t)raw + HUGE_PAGE - 1) & ~(uintptr_t)(HUGE_PAGE - 1));
    if (huge) (void)madvise(p, length, MADV_HUGEPAGE);
    const double start = Now();
    for (size_t off = 0; off < length; off += step) p[off] = 1;
    const double took = Now() - start;
    munmap(raw, mapped);
    if (best < 0 || took < best) best = took;
  }
  return best;
}

int main(int argc, char **argv) {
  const long mib = argc > 1 ? atol(argv[1]) : 64;
  if (mib <= 0 || mib > 4096) {
    fprintf(stderr, "usage: fault_cost [MiB, 1 to 4096]\n");
    return 2;
  }
  const size_t length = (size_t)mib << 20;
  const double small = Touch(length, SMALL_PAGE, 0);
  const double huge = Touch(length, HUGE_PAGE, 1);
  if (small < 0 || huge < 0) {
    perror("fault_cost: mmap");
    return 1;
  }
  printf("4k %.3f us/fault %.1f us/MiB\n", small * 1e6 / (double)(length / SMALL_PAGE),
         small * 1e6 / (double)mib);
  printf("2m %.3f us/fault %.1f us/MiB\n", huge * 1e6 / (double)(length / HUGE_PAGE),
         huge * 1e6 / (double)mib);
  return 0;
}
