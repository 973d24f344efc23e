#include "accounts.h"

#include <string.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace agentsim {
namespace {

std::vector<std::string> ReadLines(const std::string &dir, const char *name) {
  std::vector<std::string> lines;
  if (dir.empty()) return lines;
  std::string path = dir + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno != ENOENT) std::fprintf(stderr, "vxagent-sim: cannot read %s: %s\n", path.c_str(), strerror(errno));
    return lines;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

Accounts::Accounts(std::string dir) : dir_(std::move(dir)) { Reload(); }

void Accounts::Reload() {
  users_ = ReadLines(dir_, "passwd");
  groups_ = ReadLines(dir_, "group");
  removed_.clear();
  for (std::string &name : ReadLines(dir_, "remove")) removed_.insert(std::move(name));
  principals_.clear();
  for (const std::string &line : ReadLines(dir_, "upn")) {
    std::istringstream words(line);
    std::string login, principal;
    if (words >> login >> principal) principals_.emplace(std::move(login), std::move(principal));
  }
}

const std::vector<std::string> &Accounts::Lines(Category category) const {
  return category == Category::kUser ? users_ : groups_;
}

bool Accounts::IsRemoved(std::string_view entry) const {
  return removed_.find(entry.substr(0, entry.find(':'))) != removed_.end();
}

const std::string *Accounts::Principal(std::string_view login) const {
  auto it = principals_.find(login);
  return it == principals_.end() ? nullptr : &it->second;
}

}  // namespace agentsim
