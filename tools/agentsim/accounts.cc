#include "accounts.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "unique_fd.h"

namespace agentsim {
namespace {

constexpr std::string_view kRemoveMark = "\tremove";
constexpr size_t kReadChunk = 1 << 20;

// The whole file; empty when it is missing or cannot be read (a line on
// stderr unless it is simply missing).
std::string ReadFile(const std::string &dir, const char *name) {
  std::string text;
  if (dir.empty()) return text;
  const std::string path = dir + "/" + name;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT)
      (void)std::fprintf(stderr, "vxagent-sim: cannot read %s: %s\n", path.c_str(), strerror(errno));
    return text;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) text.reserve(static_cast<size_t>(st.st_size) + 1);
  for (;;) {
    const size_t have = text.size();
    const size_t room = text.capacity() > have ? text.capacity() - have : kReadChunk;
    text.resize(have + room);
    ssize_t n;
    do {
      n = ::read(fd.get(), text.data() + have, room);
    } while (n < 0 && errno == EINTR);
    text.resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n <= 0) return text;
  }
}

// The non-empty lines of `text`, without their line feeds.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!line.empty()) lines.push_back(line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

struct Tally {
  size_t count = 0;
  size_t bytes = 0;
  void Add(std::string_view line) {
    ++count;
    bytes += line.size();
  }
};

}  // namespace

Accounts::Accounts(std::string dir) : dir_(std::move(dir)) { Reload(); }

void Accounts::Reload() {
  const std::string passwd = ReadFile(dir_, "passwd");
  const std::string group = ReadFile(dir_, "group");
  const std::string remove = ReadFile(dir_, "remove");
  const std::string upn = ReadFile(dir_, "upn");
  removed_.clear();
  for (std::string_view name : SplitLines(remove)) removed_.emplace(name);
  principals_.clear();
  for (std::string_view line : SplitLines(upn)) {
    std::istringstream words{std::string(line)};
    std::string login, principal;
    if (words >> login >> principal) principals_.emplace(std::move(login), std::move(principal));
  }
  users_ = Encode(SplitLines(passwd));
  groups_ = Encode(SplitLines(group));
}

// With nothing marked, visible and the dump are the same bytes as all.
Accounts::Replies Accounts::Encode(const std::vector<std::string_view> &lines) const {
  std::vector<bool> removed(lines.size());
  Tally all, gone;
  for (size_t i = 0; i < lines.size(); ++i) {
    removed[i] = IsRemoved(lines[i]);
    all.Add(lines[i]);
    if (removed[i]) gone.Add(lines[i]);
  }
  EncodedSetBuilder every(all.count, all.bytes), visible(all.count - gone.count, all.bytes - gone.bytes),
      marked(gone.count, gone.bytes), dump(all.count, all.bytes + gone.count * kRemoveMark.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    every.Add(lines[i]);
    if (gone.count == 0) continue;
    (removed[i] ? marked : visible).Add(lines[i]);
    dump.Add(lines[i], removed[i] ? kRemoveMark : std::string_view());
  }
  Replies replies;
  replies.all = every.Finish();
  replies.remove = marked.Finish();
  replies.visible = gone.count == 0 ? replies.all : visible.Finish();
  replies.dump = gone.count == 0 ? replies.all : dump.Finish();
  return replies;
}

std::shared_ptr<const EncodedSet> Accounts::Listing(Category category, Selection selection) const {
  const Replies &replies = Of(category);
  switch (selection) {
    case Selection::kAll:
      return replies.all;
    case Selection::kVisible:
      return replies.visible;
    case Selection::kRemove:
      return replies.remove;
  }
  return replies.all;
}

std::shared_ptr<const EncodedSet> Accounts::Dump(Category category) const { return Of(category).dump; }

bool Accounts::IsRemoved(std::string_view entry) const {
  return removed_.find(entry.substr(0, entry.find(':'))) != removed_.end();
}

const std::string *Accounts::Principal(std::string_view login) const {
  auto it = principals_.find(login);
  return it == principals_.end() ? nullptr : &it->second;
}

}  // namespace agentsim
