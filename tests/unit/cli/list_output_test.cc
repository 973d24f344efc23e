// Account list output: entries unchanged, one per line, up to a null one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli_managelocal.h"
#include "support/temp_dir.h"

namespace {

// Prints `entries` (a null pointer in the vector stands for a null item)
// into a file and returns what was written.
std::string Printed(std::vector<const char *> entries, bool *ok = nullptr) {
  vxtest::TempDir dir;
  const std::string path = dir.file("out");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  entries.push_back(nullptr);
  bool done = PrintListTo(fd, const_cast<char *const *>(entries.data()));
  if (ok != nullptr) *ok = done;
  close(fd);
  return vxtest::ReadFile(path);
}

TEST(PrintList, EntriesAreWrittenUnchangedOnePerLine) {
  const std::pair<std::vector<const char *>, std::string> cases[] = {
      {{}, ""},
      {{"a", "", "b"}, "a\n\nb\n"},
      {{"two\nlines", "x"}, "two\nlines\nx\n"},
      {{"100%s %d %n", "%"}, "100%s %d %n\n%\n"},
      {{"a", nullptr, "b"}, "a\n"},
      {{nullptr, "b"}, ""},
  };
  for (const auto &[entries, expected] : cases) EXPECT_EQ(Printed(entries), expected);
  EXPECT_TRUE(PrintListTo(-1, nullptr));
}

TEST(PrintList, LongListsAndEntriesLongerThanTheBufferKeepTheirOrder) {
  std::vector<std::string> storage;
  std::string expected;
  for (int i = 0; i < 20000; ++i)
    storage.push_back("user" + std::to_string(i) + ":x:" + std::to_string(i) + ":");
  storage.insert(storage.begin() + 7000, std::string(200000, 'L'));
  std::vector<const char *> entries;
  for (const std::string &s : storage) {
    entries.push_back(s.c_str());
    expected += s + "\n";
  }
  bool ok = false;
  EXPECT_EQ(Printed(entries, &ok), expected);
  EXPECT_TRUE(ok);
}

TEST(PrintList, OutputThatCannotBeWrittenIsReported) {
  vxtest::TempDir dir;
  int fd = open(dir.write("ro", "").c_str(), O_RDONLY | O_CLOEXEC);
  const char *entries[] = {"a", nullptr};
  EXPECT_FALSE(PrintListTo(fd, const_cast<char *const *>(entries)));
  close(fd);
}

}  // namespace
