#include "util/secure_open.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using vxtest::ReadFile;
using vxtest::TempDir;

constexpr uint32_t kUnset = 0xdeadu;

bool IsRoot() { return geteuid() == 0; }

// Status of each reading function for `path`: secure descriptor, secure
// stream, plain descriptor, plain stream. Closes what opens.
struct ReadStatuses {
  uint32_t secure_fd, secure_stream, plain_fd, plain_stream;
};

ReadStatuses ReadAll(const char *path) {
  ReadStatuses r{kUnset, kUnset, kUnset, kUnset};
  int fd = SecureOpenForReading(path, &r.secure_fd);
  if (fd >= 0) close(fd);
  EXPECT_EQ(fd >= 0, r.secure_fd == SOPEN_OK);
  if (FILE *f = SecureFOpenForReading(path, &r.secure_stream)) fclose(f);
  fd = OpenForReading(path, &r.plain_fd);
  if (fd >= 0) close(fd);
  EXPECT_EQ(fd >= 0, r.plain_fd == SOPEN_OK);
  if (FILE *f = FOpenForReading(path, &r.plain_stream)) fclose(f);
  return r;
}

struct ReadCase {
  const char *name;
  std::function<std::string(const TempDir &)> make;  // returns the path to open
  uint32_t secure, plain;
};

void RunReadCases(const std::vector<ReadCase> &cases) {
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = c.make(dir);
    const int fds_before = vxtest::CountOpenFds();
    const ReadStatuses r = ReadAll(path.c_str());
    EXPECT_EQ(r.secure_fd, c.secure);
    EXPECT_EQ(r.secure_stream, c.secure);
    EXPECT_EQ(r.plain_fd, c.plain);
    EXPECT_EQ(r.plain_stream, c.plain);
    EXPECT_EQ(vxtest::CountOpenFds(), fds_before) << "a failure closes what it opened";
  }
}

std::string GoodFile(const TempDir &d) { return d.write("good.conf", "key = value\n", 0644); }

TEST(SecureOpen, ReadingChecksTypeLinksAndPermissions) {
  RunReadCases({
      {"root-owned 0644 file", GoodFile, SOPEN_OK, SOPEN_OK},
      {"world-writable", [](const TempDir &d) { return d.write("ww", "x", 0666); }, SOPEN_WORLD_WRITE,
       SOPEN_OK},
      {"symbolic link to a good file",
       [](const TempDir &d) {
         const std::string link = d.file("link");
         EXPECT_EQ(symlink(GoodFile(d).c_str(), link.c_str()), 0);
         return link;
       },
       SOPEN_SYMLINK, SOPEN_OK},
      {"second hard link",
       [](const TempDir &d) {
         EXPECT_EQ(link(GoodFile(d).c_str(), d.file("twin").c_str()), 0);
         return d.file("twin");
       },
       SOPEN_HARDLINKS, SOPEN_OK},
      {"directory", [](const TempDir &d) { return d.path(); }, SOPEN_NOT_REGULAR, SOPEN_NOT_REGULAR},
      {"FIFO, without blocking",
       [](const TempDir &d) {
         EXPECT_EQ(mkfifo(d.file("fifo").c_str(), 0644), 0);
         return d.file("fifo");
       },
       SOPEN_NOT_REGULAR, SOPEN_NOT_REGULAR},
      {"missing file", [](const TempDir &d) { return d.file("absent"); }, SOPEN_NOENT, SOPEN_NOENT},
      {"dangling link",
       [](const TempDir &d) {
         EXPECT_EQ(symlink(d.file("absent").c_str(), d.file("dangling").c_str()), 0);
         return d.file("dangling");
       },
       SOPEN_NOENT, SOPEN_NOENT},
      {"a file used as a directory (ENOTDIR)", [](const TempDir &d) { return GoodFile(d) + "/x"; },
       SOPEN_OTHER, SOPEN_OTHER},
  });
}

void Chown(const std::string &path, uid_t uid) { ASSERT_EQ(chown(path.c_str(), uid, 0), 0); }

TEST(SecureOpen, OwnerMustBeASystemAccount) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to give files away";
  RunReadCases({
      {"owned by uid 1000",
       [](const TempDir &d) {
         const std::string p = GoodFile(d);
         Chown(p, 1000);
         return p;
       },
       SOPEN_BAD_OWNER, SOPEN_OK},
      {"owned by uid 4",
       [](const TempDir &d) {
         const std::string p = GoodFile(d);
         Chown(p, SECURE_OPEN_MAX_SYSTEM_UID - 1);
         return p;
       },
       SOPEN_OK, SOPEN_OK},
      {"owned by uid 5",
       [](const TempDir &d) {
         const std::string p = GoodFile(d);
         Chown(p, SECURE_OPEN_MAX_SYSTEM_UID);
         return p;
       },
       SOPEN_BAD_OWNER, SOPEN_OK},
      {"world-writable is judged before the owner",
       [](const TempDir &d) {
         const std::string p = d.write("ww", "x", 0666);
         Chown(p, 1000);
         return p;
       },
       SOPEN_WORLD_WRITE, SOPEN_OK},
  });
}

TEST(SecureOpen, PermissionDeniedGivesStatus4) {
  TempDir dir;
  const std::string path = dir.write("secret", "x", 0000);
  if (!IsRoot()) {
    EXPECT_EQ(SecureOpenForReading(path.c_str(), nullptr), -1);
    uint32_t st = kUnset;
    SecureOpenForReading(path.c_str(), &st);
    EXPECT_EQ(st, SOPEN_ACCESS);
    return;
  }
  // Root reads anything: try as an unprivileged account in a child.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(100);
    uint32_t st = kUnset;
    const int fd = SecureOpenForReading(path.c_str(), &st);
    _exit(fd == -1 ? static_cast<int>(st) : 101);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), static_cast<int>(SOPEN_ACCESS));
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
  // Breaking our own lease signals us; keep that signal harmless.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGIO, &ignore, &old);
  uint32_t st = kUnset;
  EXPECT_EQ(SecureOpenForWriting(path.c_str(), 0644, WRITE_MODE_APPEND, &st), -1);
  EXPECT_EQ(st, SOPEN_WOULD_BLOCK);
  fcntl(holder, F_SETLEASE, F_UNLCK);
  close(holder);
  sigaction(SIGIO, &old, nullptr);
}

TEST(SecureOpen, TruncationNeedsWriteAccess) {
  TempDir dir;
  const std::string path = GoodFile(dir);
  uint32_t st = kUnset;
  EXPECT_EQ(SecureOpen(path.c_str(), O_RDONLY | O_TRUNC, 0, 0, &st), -1);
  EXPECT_EQ(st, SOPEN_INVALID);
  EXPECT_EQ(ReadFile(path), "key = value\n") << "read-only truncation leaves the file alone";

  const int fd = SecureOpen(path.c_str(), O_WRONLY | O_TRUNC, 0, 0, &st);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(st, SOPEN_OK);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "descriptor keeps O_NONBLOCK";
  close(fd);
  EXPECT_EQ(ReadFile(path), "");
}

TEST(SecureOpen, NullArgumentsAreTolerated) {
  uint32_t st = kUnset;
  EXPECT_EQ(SecureOpen(nullptr, O_RDONLY, 0, 0, &st), -1);
  EXPECT_EQ(st, SOPEN_INVALID);
  EXPECT_EQ(FOpenForWriting(nullptr, 0644, 1, &st), nullptr);
  EXPECT_EQ(st, SOPEN_INVALID);
  TempDir dir;
  EXPECT_EQ(SecureOpenForReading(dir.file("absent").c_str(), nullptr), -1);
  FILE *f = SecureFOpenForReading(GoodFile(dir).c_str(), nullptr);
  ASSERT_NE(f, nullptr);
  fclose(f);
}

struct WriteCase {
  const char *name;
  int write_mode;
  bool exists;      // "old" is in the file beforehand
  bool use_stream;  // through the FOpen variant
  uint32_t status;
  const char *after;  // file content after writing "new" (when opened)
};

TEST(SecureOpen, WriteModesReplaceAppendOrCreate) {
  const WriteCase cases[] = {
      {"replace existing", WRITE_MODE_REPLACE, true, false, SOPEN_OK, "new"},
      {"replace existing, stream", WRITE_MODE_REPLACE, true, true, SOPEN_OK, "new"},
      {"replace missing", WRITE_MODE_REPLACE, false, false, SOPEN_OK, "new"},
      {"append existing", WRITE_MODE_APPEND, true, false, SOPEN_OK, "oldnew"},
      {"append existing, stream", WRITE_MODE_APPEND, true, true, SOPEN_OK, "oldnew"},
      {"append missing", WRITE_MODE_APPEND, false, false, SOPEN_OK, "new"},
      {"create existing", WRITE_MODE_CREATE, true, false, SOPEN_EXISTS, "old"},
      {"create existing, stream", WRITE_MODE_CREATE, true, true, SOPEN_EXISTS, "old"},
      {"create missing", WRITE_MODE_CREATE, false, true, SOPEN_OK, "new"},
      {"other mode opens like append", 7, true, false, SOPEN_OK, "oldnew"},
      {"other mode, stream", 7, true, true, SOPEN_OK, "oldnew"},
  };
  for (const WriteCase &c : cases) {
    for (bool secure : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (secure ? " (secure)" : " (plain)"));
      TempDir dir;
      const std::string path = c.exists ? dir.write("out", "old", 0644) : dir.file("out");
      uint32_t st = kUnset;
      if (c.use_stream) {
        FILE *f = (secure ? SecureFOpenForWriting : FOpenForWriting)(path.c_str(), 0600, c.write_mode, &st);
        EXPECT_EQ(f != nullptr, c.status == SOPEN_OK);
        if (f != nullptr) {
          fputs("new", f);
          fclose(f);
        }
      } else {
        const int fd =
            (secure ? SecureOpenForWriting : OpenForWriting)(path.c_str(), 0600, c.write_mode, &st);
        EXPECT_EQ(fd >= 0, c.status == SOPEN_OK);
        if (fd >= 0) {
          EXPECT_EQ(write(fd, "new", 3), 3);
          close(fd);
        }
      }
      EXPECT_EQ(st, c.status);
      EXPECT_EQ(ReadFile(path), c.after);
      struct stat sb {};
      ASSERT_EQ(stat(path.c_str(), &sb), 0);
      if (!c.exists || c.write_mode == WRITE_MODE_REPLACE) {
        EXPECT_EQ(sb.st_mode & 0777, 0600u) << "creation mode";
      }
    }
  }
}

TEST(SecureOpen, ReplaceRemovesALinkNotItsTarget) {
  TempDir dir;
  const std::string target = dir.write("target", "keep", 0644);
  const std::string link = dir.file("out");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  uint32_t st = kUnset;
  const int fd = SecureOpenForWriting(link.c_str(), 0644, WRITE_MODE_REPLACE, &st);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(st, SOPEN_OK);
  close(fd);
  struct stat sb {};
  ASSERT_EQ(lstat(link.c_str(), &sb), 0);
  EXPECT_TRUE(S_ISREG(sb.st_mode));
  EXPECT_EQ(ReadFile(target), "keep");
}

TEST(SecureOpen, SecureWritingRefusesAnUnsafeExistingFile) {
  TempDir dir;
  const std::string path = dir.write("out", "old", 0666);
  uint32_t st = kUnset;
  EXPECT_EQ(SecureOpenForWriting(path.c_str(), 0644, WRITE_MODE_APPEND, &st), -1);
  EXPECT_EQ(st, SOPEN_WORLD_WRITE);
  EXPECT_EQ(ReadFile(path), "old");
  // A FIFO with no reader cannot be opened for writing without blocking.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  EXPECT_EQ(OpenForWriting(dir.file("fifo").c_str(), 0644, WRITE_MODE_APPEND, &st), -1);
  EXPECT_EQ(st, SOPEN_OTHER);
}

}  // namespace
