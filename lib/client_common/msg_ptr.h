// Owner of a message for C++ callers inside the suite: releases it with
// MsgFree (which wipes a sensitive message first).
//
// Internal C++ header: nothing here is exported from the library.
#ifndef VX_CLIENT_COMMON_MSG_PTR_H
#define VX_CLIENT_COMMON_MSG_PTR_H

#include <memory>

#include "client_common/msg.h"
#include "util/scope.h"

namespace vx {

using MsgPtr = std::unique_ptr<Msg, CallDeleter<MsgFree>>;

}  // namespace vx

#endif  // VX_CLIENT_COMMON_MSG_PTR_H
