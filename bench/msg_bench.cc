// Message layer: building requests, validating and reading large replies,
// and the one-line dump.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "support/wire.h"

namespace {

constexpr uint32_t kHeader = 8;
constexpr uint16_t kPlainType = MSGTYPE_GET_LOCAL_ACCT_MGMT; /* not wiped on release */

// A list reply: status 0 and a string set of passwd lines.
std::string ListReply(uint16_t type, int entries) {
  std::vector<std::string> lines;
  char line[128];
  for (int i = 0; i < entries; ++i) {
    const int n = snprintf(line, sizeof line, "user%06d:x:%d:%d:User %d:/home/user%06d:/bin/sh", i, 10000 + i,
                           10000 + i, i, i);
    lines.emplace_back(line, static_cast<size_t>(n));
  }
  return vxtest::Block(type, vxtest::Int(0) + vxtest::Set(lines));
}

// Wraps the block without copying and without taking it over, so that one
// block serves every iteration.
Msg *Borrow(std::string &block) {
  return NewMsgFromBuffer(block.data(), static_cast<uint32_t>(block.size()), 0, GetMsgTypeTable(), kHeader,
                          nullptr);
}

void GiveBack(Msg *msg) {
  msg->start = msg->end = msg->cur = nullptr;
  MsgFree(msg);
}

void BM_EncodeReloadRequest(benchmark::State &state) {
  for (auto _ : state) {
    Msg *msg = NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr);
    MsgAddBool(msg, 1);
    MsgAddBool(msg, 0);
    MsgComplete(msg);
    benchmark::DoNotOptimize(MsgGetBuffer(msg, nullptr, nullptr));
    MsgFree(msg);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeReloadRequest);

void BM_Encode100FieldRequest(benchmark::State &state) {
  const uint32_t type = static_cast<uint32_t>(state.range(0));
  uint32_t length = 0;
  for (auto _ : state) {
    Msg *msg = NewMsg(type, GetMsgTypeTable(), kHeader, nullptr);
    for (uint32_t i = 0; i < 50; ++i) {
      MsgAddString(msg, "a field value of some thirty bytes");
      MsgAddUInt(msg, i);
    }
    MsgComplete(msg);
    benchmark::DoNotOptimize(MsgGetBuffer(msg, &length, nullptr));
    MsgFree(msg);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
  state.SetLabel(type == kPlainType ? "plain" : "sensitive");
}
BENCHMARK(BM_Encode100FieldRequest)->Arg(kPlainType)->Arg(MSGTYPE_LIST_LOCAL_ACCT);

void BM_ValidateReply(benchmark::State &state) {
  std::string block = ListReply(kPlainType, static_cast<int>(state.range(0)));
  const int copy = static_cast<int>(state.range(1));
  for (auto _ : state) {
    if (copy) {
      Msg *msg = NewMsgFromBuffer(block.data(), static_cast<uint32_t>(block.size()), 1, GetMsgTypeTable(),
                                  kHeader, nullptr);
      benchmark::DoNotOptimize(msg);
      MsgFree(msg);
    } else {
      Msg *msg = Borrow(block);
      benchmark::DoNotOptimize(msg);
      GiveBack(msg);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(BM_ValidateReply)->ArgsProduct({{1000, 10000, 100000}, {0, 1}})->ArgNames({"entries", "copy"});

void BM_ReadStringSet(benchmark::State &state) {
  std::string block = ListReply(kPlainType, static_cast<int>(state.range(0)));
  const uint32_t entries = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    Msg *msg = Borrow(block);
    int32_t status = -1;
    char **set = nullptr;
    MsgGetInt(msg, &status);
    MsgGetStringSet(msg, &set);
    for (uint32_t i = 0; i < entries; ++i) free(set[i]);
    free(set);
    GiveBack(msg);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * entries);
}
BENCHMARK(BM_ReadStringSet)->Arg(1000)->Arg(10000)->Arg(100000);

// The whole path of a received list reply as the client uses it: copy-free
// wrap, read, and release with the wipe its sensitive type asks for.
void BM_ReceiveReadReleaseListReply(benchmark::State &state) {
  const std::string block = ListReply(MSGTYPE_LIST_LOCAL_ACCT, static_cast<int>(state.range(0)));
  const uint32_t entries = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    void *owned = malloc(block.size());
    memcpy(owned, block.data(), block.size());
    state.ResumeTiming();
    Msg *msg =
        NewMsgFromBuffer(owned, static_cast<uint32_t>(block.size()), 0, GetMsgTypeTable(), kHeader, nullptr);
    int32_t status = -1;
    char **set = nullptr;
    MsgGetInt(msg, &status);
    MsgGetStringSet(msg, &set);
    for (uint32_t i = 0; i < entries; ++i) free(set[i]);
    free(set);
    MsgFree(msg);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(BM_ReceiveReadReleaseListReply)->Arg(100000);

void BM_DumpReply(benchmark::State &state) {
  std::string block = ListReply(kPlainType, static_cast<int>(state.range(0)));
  Msg *msg = Borrow(block);
  for (auto _ : state) {
    char *text = MsgDump(msg);
    benchmark::DoNotOptimize(text);
    free(text);
  }
  GiveBack(msg);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(BM_DumpReply)->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace
