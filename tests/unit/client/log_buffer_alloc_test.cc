// Linked with --wrap for malloc, calloc and realloc: while armed, the Nth
// allocation made by the client log and the layers below it fails.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "client_common/log_buffer.h"
#include "support/temp_dir.h"

namespace {
long countdown = 0;  // 0: disarmed; otherwise the allocation that fails
bool failed = false;
bool FailNow() {
  if (countdown == 0 || --countdown != 0) return false;
  failed = true;
  return true;
}
}  // namespace

extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t n);
void *__wrap_malloc(size_t n) { return FailNow() ? nullptr : __real_malloc(n); }
void *__wrap_calloc(size_t n, size_t size) { return FailNow() ? nullptr : __real_calloc(n, size); }
void *__wrap_realloc(void *p, size_t n) { return FailNow() ? nullptr : __real_realloc(p, n); }
}

namespace {

constexpr int kRecords = 20;

// A record that cannot be gathered costs the message it would have joined
// (a broken message can be neither sent nor read), but never a later record.
TEST(ClientLogAllocation, FailedGatherLosesNoLaterRecord) {
  const std::string text(150, 't');
  for (long n = 1;; n++) {
    vxtest::TempDir dir;
    std::string file = dir.write("e.log", "");
    ClientLog *log = NewClientLog("proc", ("file " + file).c_str(), 0, dir.file("none.sock").c_str(), 1, 1,
                                  GetMsgTypeTable(), nullptr);
    ASSERT_NE(log, nullptr);
    uint32_t status[kRecords];
    failed = false;
    countdown = n;
    for (int i = 0; i < kRecords; i++) status[i] = ClientLogWrite(log, 2, "m", i, "f", "%s", text.c_str());
    countdown = 0;
    int refused = 0;
    for (uint32_t s : status) refused += s == CLIENT_LOG_ERR_GATHER;
    EXPECT_EQ(refused, failed ? 1 : 0) << "allocation " << n;
    EXPECT_EQ(ClientLogWrite(log, 4, "m", 99, "f", "after"), 0u) << "allocation " << n;
    EXPECT_EQ(ClientLogStartSending(log), 405u);
    FreeClientLog(log);
    std::string all = vxtest::ReadFile(file);
    EXPECT_NE(all.find("ERROR: after\n"), std::string::npos) << "allocation " << n;
    if (!failed) {
      EXPECT_GT(n, kRecords / 4) << "the message grew in several steps";
      break;
    }
  }
}

}  // namespace
