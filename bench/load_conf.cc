// load_conf: loads one configuration file through libvxclient.so the way a
// program does at start-up. bench/compare times it against
// reading the same bytes; it is also the program to profile the loader with.
//
//   load_conf FILE [--secure]
//
// Prints the number of properties loaded. Exit status 0 when the file
// loaded, 1 when it did not (the status text on stderr), 2 for a bad command
// line. Without --secure the file need not be owned by a system account, so
// generated files anywhere can be measured.
#include <stdio.h>
#include <string.h>

#include "props/props.h"

int main(int argc, char **argv) {
  const bool secure = argc == 3 && strcmp(argv[2], "--secure") == 0;
  if (argc < 2 || argc > 3 || (argc == 3 && !secure)) {
    fputs("usage: load_conf FILE [--secure]\n", stderr);
    return 2;
  }
  uint32_t status = 0;
  Properties *set = secure ? LoadProperties(argv[1], nullptr, &status)
                           : LoadPropertiesWithoutSecurity(argv[1], nullptr, &status);
  if (set == nullptr) {
    const char *text = CPropsErr2Str(status);
    fprintf(stderr, "load_conf: %s: %s\n", argv[1], text != nullptr ? text : "unknown status");
    return 1;
  }
  unsigned long count = 0;
  for (const Property *p = set->head; p != nullptr; p = p->next) ++count;
  printf("%lu\n", count);
  // The set is left to the exit, as a program that loads its configuration
  // once does: the figure is the loader's. bench/props_bench times the free.
  return 0;
}
