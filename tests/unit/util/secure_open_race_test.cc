// A second thread keeps exchanging the opened path between a good file and a
// symbolic link to another file that would pass every check on its own. The
// secure open must never hand out a descriptor of the link's target, however
// the exchange falls between its open and its checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/secure_owner.h"
#include "support/temp_dir.h"
#include "util/secure_open.h"

namespace {

constexpr int kMinOpens = 20000;
constexpr long kMinSwaps = 5000;
constexpr auto kTimeLimit = std::chrono::seconds(30);

// Opens `path` and tells whether the descriptor is the inode `target`.
bool OpensTarget(int (*open_fn)(const char *, uint32_t *), const std::string &path, ino_t target,
                 uint32_t *st) {
  const int fd = open_fn(path.c_str(), st);
  struct stat sb {};
  const bool hit = fd >= 0 && fstat(fd, &sb) == 0 && sb.st_ino == target;
  if (fd >= 0) close(fd);
  return hit;
}

TEST(SecureOpenRace, ALinkSwappedInIsNeverOpened) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
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
    while (!stop.load(std::memory_order_relaxed))
      if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, stash.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
  });
  int secure_hits = 0, plain_hits = 0, good_opens = 0, opens = 0;
  const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
  for (; (opens < kMinOpens || swaps.load() < kMinSwaps) && std::chrono::steady_clock::now() < deadline;
       ++opens) {
    uint32_t st = 0xdead, plain_st = 0;
    secure_hits += OpensTarget(SecureOpenForReading, path, target_st.st_ino, &st);
    good_opens += st == SOPEN_OK;
    EXPECT_TRUE(st == SOPEN_OK || st == SOPEN_SYMLINK || st == SOPEN_OTHER) << st;
    // The plain open follows links by design: it shows the swap is live.
    plain_hits += OpensTarget(OpenForReading, path, target_st.st_ino, &plain_st);
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(secure_hits, 0);
  EXPECT_GT(plain_hits, 0) << "the exchange never interleaved with the opens";
  EXPECT_GT(good_opens, 0) << "the good file was never opened";
}

}  // namespace
