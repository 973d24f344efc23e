#include "client_common/client_unlisted.h"

#include <mutex>

namespace vx_client {

namespace {

struct Slot {
  const ClientContext *owner; /* null: free */
  Msg *msg;
};

// Static storage: the table is there when no memory is left, which is
// exactly when it is needed. The lock is taken only on that path and when a
// context releases its messages.
std::mutex g_lock;
Slot g_slots[CLIENT_MSG_UNLISTED_MAX];

}  // namespace

bool KeepUnlisted(const ClientContext *context, Msg *msg) {
  if (context == nullptr || msg == nullptr) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  for (Slot &slot : g_slots) {
    if (slot.owner != nullptr) continue;
    slot = Slot{context, msg};
    return true;
  }
  return false;
}

void ReleaseUnlisted(const ClientContext *context) {
  if (context == nullptr) return;
  Msg *mine[CLIENT_MSG_UNLISTED_MAX];
  int count = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (int i = CLIENT_MSG_UNLISTED_MAX - 1; i >= 0; --i) {
      if (g_slots[i].owner != context) continue;
      mine[count++] = g_slots[i].msg;
      g_slots[i] = Slot{nullptr, nullptr};
    }
  }
  // Released outside the lock: wiping a large message takes a while.
  for (int i = 0; i < count; ++i) MsgFree(mine[i]);
}

bool IsUnlisted(const ClientContext *context, const Msg *msg) {
  if (context == nullptr || msg == nullptr) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  for (const Slot &slot : g_slots) {
    if (slot.owner == context && slot.msg == msg) return true;
  }
  return false;
}

}  // namespace vx_client
