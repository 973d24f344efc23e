/* Deferred release list.
 *
 * A CleanupList collects (release function, object) pairs and releases them
 * all at once, newest first. It is a chain of fixed blocks of
 * CLEANUP_BLOCK_ENTRIES entries; the first block is created by
 * NewCleanupList, further blocks are added as the chain fills up.
 */
#ifndef VX_CLIENT_COMMON_CLEANUP_LIST_H
#define VX_CLIENT_COMMON_CLEANUP_LIST_H

#include <stdint.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

#define CLEANUP_BLOCK_ENTRIES 50

/* Releases one object. */
typedef void (*CleanupFunc)(void *object);

typedef struct CleanupEntry {
  CleanupFunc release;
  void *object;
} CleanupEntry;

typedef struct CleanupList {
  struct CleanupList *next; /* next (newer) block, or null */
  int32_t count;            /* entries used in this block */
  CleanupEntry entries[CLEANUP_BLOCK_ENTRIES];
} CleanupList;

/* An empty list (one block), or null on exhausted memory. Released by
 * CleanupListRun. */
VX_API CleanupList *NewCleanupList(void);

/* Registers `object` to be passed to `release` when the list runs. When the
 * last block is full a new block is chained. Returns 1 when the object is
 * registered; 0 when a new block cannot be allocated or the list is null,
 * in which case the caller still owns the object and must release it. */
VX_API int CleanupListAdd(CleanupList *list, CleanupFunc release, void *object);

/* Calls every registered release function, newest entry first, and frees all
 * blocks of the list (the list pointer is invalid afterwards). Runs in
 * constant stack space whatever the length of the chain. Null is ignored. */
VX_API void CleanupListRun(CleanupList *list);

VX_END_DECLS

#endif
