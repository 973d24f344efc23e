#include "util/secure_open.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/child_run.h"
#include "support/secure_owner.h"
#include "support/temp_dir.h"

namespace {

using vxtest::ReadFile;
using vxtest::TempDir;

constexpr uint32_t kUnset = 0xdeadu;
constexpr uid_t kNoChown = static_cast<uid_t>(-1);

std::string GoodFile(const TempDir &d, unsigned mode = 0644) {
  return d.write("good", "key = value\n", mode);
}

// The status of an open that gave `fd` or `f`, after checking that result
// and status agree; writes `text` to what was opened and closes it. (`st`
// is read here, after the open has set it.)
uint32_t Done(int fd, const uint32_t &st, const char *text = "") {
  EXPECT_EQ(fd >= 0, st == SOPEN_OK) << "descriptor " << fd << ", status " << st;
  if (fd < 0) return st;
  EXPECT_TRUE(*text == '\0' || write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text)));
  close(fd);
  return st;
}
uint32_t Done(FILE *f, const uint32_t &st, const char *text = "") {
  EXPECT_EQ(f != nullptr, st == SOPEN_OK) << "status " << st;
  if (f == nullptr) return st;
  fputs(text, f);
  fclose(f);
  return st;
}

// Creates what `kind` names in `d` and returns the path to open.
std::string MakePath(const TempDir &d, const std::string &kind, unsigned mode, uid_t owner) {
  const std::string good = GoodFile(d, mode), other = d.file("other");
  int rc = owner != kNoChown ? chown(good.c_str(), owner, 0) : 0;
  if (kind == "symlink") rc |= symlink(good.c_str(), other.c_str());
  if (kind == "dangling") rc |= symlink(d.file("absent").c_str(), other.c_str());
  if (kind == "hardlink") rc |= link(good.c_str(), other.c_str());
  if (kind == "fifo") rc |= mkfifo(other.c_str(), 0644);
  EXPECT_EQ(rc, 0) << "making " << kind;
  if (kind == "file") return good;
  if (kind == "dir") return d.path();
  if (kind == "notdir") return good + "/x";
  return other;  // "absent" creates nothing there
}

// Each reading function (secure and plain, descriptor and stream) gives its
// status, opens without blocking, and a failure closes what it opened.
TEST(SecureOpen, ReadingChecksTypeLinksOwnerAndPermissions) {
  const struct {
    const char *kind;
    unsigned mode;
    uid_t owner;
    uint32_t secure, plain;
  } cases[] = {
      {"file", 0644, kNoChown, SOPEN_OK, SOPEN_OK},
      {"file", 0666, kNoChown, SOPEN_WORLD_WRITE, SOPEN_OK},
      {"symlink", 0644, kNoChown, SOPEN_SYMLINK, SOPEN_OK},
      {"hardlink", 0644, kNoChown, SOPEN_HARDLINKS, SOPEN_OK},
      {"dir", 0644, kNoChown, SOPEN_NOT_REGULAR, SOPEN_NOT_REGULAR},
      {"fifo", 0644, kNoChown, SOPEN_NOT_REGULAR, SOPEN_NOT_REGULAR},
      {"absent", 0644, kNoChown, SOPEN_NOENT, SOPEN_NOENT},
      {"dangling", 0644, kNoChown, SOPEN_NOENT, SOPEN_NOENT},
      {"notdir", 0644, kNoChown, SOPEN_OTHER, SOPEN_OTHER},
      {"file", 0644, 1000, SOPEN_BAD_OWNER, SOPEN_OK},
      {"file", 0644, SECURE_OPEN_MAX_SYSTEM_UID - 1, SOPEN_OK, SOPEN_OK},
      {"file", 0644, SECURE_OPEN_MAX_SYSTEM_UID, SOPEN_BAD_OWNER, SOPEN_OK},
      {"file", 0666, 1000, SOPEN_WORLD_WRITE, SOPEN_OK},  // judged before the owner
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " mode " + std::to_string(c.mode) + " owner " +
                 std::to_string(c.owner));
    if (c.owner != kNoChown && geteuid() != 0) continue;  // only root can give files away
    TempDir dir;
    const std::string path = MakePath(dir, c.kind, c.mode, c.owner);
    const int fds_before = vxtest::CountOpenFds();
    for (bool secure : {true, false}) {
      uint32_t st = kUnset;
      uint32_t expected = secure ? c.secure : c.plain;
      // The caller's own file passes every check but the owner's.
      if (secure && expected == SOPEN_OK && !vxtest::OwnFilesPassOwnerCheck()) expected = SOPEN_BAD_OWNER;
      EXPECT_EQ(Done((secure ? SecureOpenForReading : OpenForReading)(path.c_str(), &st), st), expected)
          << secure;
      EXPECT_EQ(Done((secure ? SecureFOpenForReading : FOpenForReading)(path.c_str(), &st), st), expected)
          << secure;
    }
    EXPECT_EQ(vxtest::CountOpenFds(), fds_before);
  }
}

TEST(SecureOpen, PermissionDeniedGivesStatus4) {
  TempDir dir;
  const std::string path = dir.write("secret", "x", 0000);
  auto attempt = [&] {
    uint32_t st = kUnset;
    return static_cast<int>(Done(SecureOpenForReading(path.c_str(), &st), st));
  };
  if (geteuid() != 0) {
    EXPECT_EQ(attempt(), static_cast<int>(SOPEN_ACCESS));
    return;
  }
  // Root reads anything: try as nobody in a child.
  const vxtest::ChildResult child = vxtest::RunInChild([&] {
    const bool dropped = setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                         setresuid(65534, 65534, 65534) == 0;
    return dropped ? attempt() : 100;
  });
  EXPECT_EQ(child.status, static_cast<int>(SOPEN_ACCESS));
}

TEST(SecureOpen, OpenThatWouldBlockOnALeaseGivesStatus10) {
  TempDir dir;
  const std::string path = GoodFile(dir);
  const int holder = open(path.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  if (fcntl(holder, F_SETLEASE, F_RDLCK) != 0) {
    close(holder);
    GTEST_SKIP() << "file leases not available here";
  }
  struct sigaction ignore {
  }, old{};  // breaking our own lease signals us
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGIO, &ignore, &old);
  uint32_t st = kUnset;
  EXPECT_EQ(Done(SecureOpenForWriting(path.c_str(), 0644, WRITE_MODE_APPEND, &st), st), SOPEN_WOULD_BLOCK);
  fcntl(holder, F_SETLEASE, F_UNLCK);
  close(holder);
  sigaction(SIGIO, &old, nullptr);
}

TEST(SecureOpen, TruncationNeedsWriteAccessAndNullArgumentsAreTolerated) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  const std::string path = GoodFile(dir);
  uint32_t st = kUnset;
  EXPECT_EQ(Done(SecureOpen(path.c_str(), O_RDONLY | O_TRUNC, 0, 0, &st), st), SOPEN_INVALID);
  EXPECT_EQ(ReadFile(path), "key = value\n") << "read-only truncation leaves the file alone";
  const int fd = SecureOpen(path.c_str(), O_WRONLY | O_TRUNC, 0, 0, &st);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(st, SOPEN_OK);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "descriptor keeps O_NONBLOCK";
  close(fd);
  EXPECT_EQ(ReadFile(path), "");

  EXPECT_EQ(Done(SecureOpen(nullptr, O_RDONLY, 0, 0, &st), st), SOPEN_INVALID);
  st = kUnset;
  EXPECT_EQ(Done(FOpenForWriting(nullptr, 0644, 1, &st), st), SOPEN_INVALID);
  EXPECT_EQ(SecureOpenForReading(dir.file("absent").c_str(), nullptr), -1) << "null status";
  st = SOPEN_OK;
  EXPECT_EQ(Done(SecureFOpenForReading(path.c_str(), nullptr), st), SOPEN_OK) << "null status";
}

// Every row through the four writing functions: secure or plain, descriptor or stream.
TEST(SecureOpen, WriteModesReplaceAppendOrCreate) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const struct {
    int write_mode;
    bool exists;  // "old" is in the file beforehand
    uint32_t status;
    const char *after;  // file content after writing "new" (when opened)
  } cases[] = {
      {WRITE_MODE_REPLACE, true, SOPEN_OK, "new"},
      {WRITE_MODE_REPLACE, false, SOPEN_OK, "new"},
      {WRITE_MODE_APPEND, true, SOPEN_OK, "oldnew"},
      {WRITE_MODE_APPEND, false, SOPEN_OK, "new"},
      {WRITE_MODE_CREATE, true, SOPEN_EXISTS, "old"},
      {WRITE_MODE_CREATE, false, SOPEN_OK, "new"},
      {7, true, SOPEN_OK, "oldnew"},
  };
  for (const auto &c : cases) {
    for (int variant = 0; variant < 4; ++variant) {
      const bool secure = variant & 1, stream = variant & 2;
      SCOPED_TRACE(std::to_string(c.write_mode) + (c.exists ? " existing" : " missing") +
                   (stream ? " stream" : " fd") + (secure ? " secure" : " plain"));
      TempDir dir;
      const std::string path = c.exists ? dir.write("out", "old", 0644) : dir.file("out");
      uint32_t st = kUnset;
      const auto stream_open = secure ? SecureFOpenForWriting : FOpenForWriting;
      const auto fd_open = secure ? SecureOpenForWriting : OpenForWriting;
      EXPECT_EQ(stream ? Done(stream_open(path.c_str(), 0600, c.write_mode, &st), st, "new")
                       : Done(fd_open(path.c_str(), 0600, c.write_mode, &st), st, "new"),
                c.status);
      EXPECT_EQ(ReadFile(path), c.after);
      struct stat sb {};
      ASSERT_EQ(stat(path.c_str(), &sb), 0);
      EXPECT_TRUE((c.exists && c.write_mode != WRITE_MODE_REPLACE) || (sb.st_mode & 0777) == 0600u)
          << "creation mode";
    }
  }
}

TEST(SecureOpen, WritingRefusesUnsafeTargets) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  const std::string target = dir.write("target", "keep", 0644), link = dir.file("out");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  uint32_t st = kUnset;
  EXPECT_EQ(Done(SecureOpenForWriting(link.c_str(), 0644, WRITE_MODE_REPLACE, &st), st), SOPEN_OK);
  struct stat sb {};
  ASSERT_EQ(lstat(link.c_str(), &sb), 0);
  EXPECT_TRUE(S_ISREG(sb.st_mode)) << "replace removes the link, not its target";
  EXPECT_EQ(ReadFile(target), "keep");

  const std::string ww = dir.write("ww", "old", 0666);
  EXPECT_EQ(Done(SecureOpenForWriting(ww.c_str(), 0644, WRITE_MODE_APPEND, &st), st), SOPEN_WORLD_WRITE);
  EXPECT_EQ(ReadFile(ww), "old");
  // A FIFO with no reader cannot be opened for writing without blocking.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  EXPECT_EQ(Done(OpenForWriting(dir.file("fifo").c_str(), 0644, WRITE_MODE_APPEND, &st), st), SOPEN_OTHER);
}

}  // namespace
