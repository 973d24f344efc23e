#include "client_common/cleanup_list.h"

#include <stdlib.h>

namespace {

CleanupList *NewBlock() { return static_cast<CleanupList *>(calloc(1, sizeof(CleanupList))); }

// Reverses the chain in place and returns its new head (the former last
// block), so that the newest block can be released first without recursion.
CleanupList *Reverse(CleanupList *list) {
  CleanupList *reversed = nullptr;
  while (list != nullptr) {
    CleanupList *next = list->next;
    list->next = reversed;
    reversed = list;
    list = next;
  }
  return reversed;
}

}  // namespace

CleanupList *NewCleanupList(void) { return NewBlock(); }

int CleanupListAdd(CleanupList *list, CleanupFunc release, void *object) {
  if (list == nullptr) return 0;
  while (list->next != nullptr) list = list->next;
  if (list->count >= CLEANUP_BLOCK_ENTRIES) {
    CleanupList *block = NewBlock();
    if (block == nullptr) return 0;
    list->next = block;
    list = block;
  }
  list->entries[list->count].release = release;
  list->entries[list->count].object = object;
  list->count++;
  return 1;
}

void CleanupListRun(CleanupList *list) {
  CleanupList *block = Reverse(list);
  while (block != nullptr) {
    for (int32_t i = block->count - 1; i >= 0; i--) {
      const CleanupEntry &entry = block->entries[i];
      if (entry.release != nullptr) entry.release(entry.object);
    }
    CleanupList *older = block->next;
    free(block);
    block = older;
  }
}
