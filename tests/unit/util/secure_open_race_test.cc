// A second thread keeps exchanging the opened path between a good file and a
// symbolic link to another file that would pass every check on its own. The
// secure open must never hand out a descriptor of the link's target, however
// the exchange falls between its open and its checks.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "support/temp_dir.h"
#include "util/secure_open.h"

namespace {

constexpr int kMinOpens = 20000;
constexpr long kMinSwaps = 5000;
constexpr auto kTimeLimit = std::chrono::seconds(30);

ino_t InodeOf(int fd) {
  struct stat sb {};
  return fstat(fd, &sb) == 0 ? sb.st_ino : 0;
}

TEST(SecureOpenRace, ALinkSwappedInIsNeverOpened) {
  vxtest::TempDir dir;
  const std::string path = dir.write("conf", "good", 0644);
  const std::string target = dir.write("target", "other", 0644);
  const std::string stash = dir.file("stash");
  ASSERT_EQ(symlink(target.c_str(), stash.c_str()), 0);
  if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, stash.c_str(), RENAME_EXCHANGE) != 0)
    GTEST_SKIP() << "atomic exchange not supported here";
  struct stat target_st {};
  ASSERT_EQ(stat(target.c_str(), &target_st), 0);

  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::thread swapper([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, stash.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    }
  });

  std::map<uint32_t, int> secure_statuses;
  int secure_target_hits = 0, plain_target_hits = 0, opens = 0;
  const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
  while ((opens < kMinOpens || swaps.load() < kMinSwaps) && std::chrono::steady_clock::now() < deadline) {
    ++opens;
    uint32_t st = 0xdead;
    int fd = SecureOpenForReading(path.c_str(), &st);
    ++secure_statuses[st];
    if (fd >= 0) {
      if (InodeOf(fd) == target_st.st_ino) ++secure_target_hits;
      close(fd);
    }
    // The plain open follows links by design: it shows the swap is live.
    fd = OpenForReading(path.c_str(), &st);
    if (fd >= 0) {
      if (InodeOf(fd) == target_st.st_ino) ++plain_target_hits;
      close(fd);
    }
  }
  stop = true;
  swapper.join();

  EXPECT_EQ(secure_target_hits, 0);
  EXPECT_GT(plain_target_hits, 0) << "the exchange never interleaved with the opens";
  EXPECT_GT(secure_statuses[SOPEN_OK], 0) << "the good file was never opened";
  for (const auto &[status, count] : secure_statuses) {
    EXPECT_TRUE(status == SOPEN_OK || status == SOPEN_SYMLINK || status == SOPEN_OTHER)
        << "status " << status << " seen " << count << " times";
  }
  std::printf("opens %d, swaps %ld, secure ok %d, link %d, path changed %d, plain target %d\n", opens,
              swaps.load(), secure_statuses[SOPEN_OK], secure_statuses[SOPEN_SYMLINK],
              secure_statuses[SOPEN_OTHER], plain_target_hits);
}

}  // namespace
