// The account data the agent serves, read from a data directory:
//   passwd  passwd-format lines (name:x:uid:gid:gecos:home:shell)
//   group   group-format lines (name:x:gid:members)
//   remove  names (user or group) marked for removal, one per line
//   upn     `login principal` per line, whitespace separated
// A missing file is empty. Lines are kept in file order; empty lines are
// skipped.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace agentsim {

enum class Category { kUser, kGroup };

class Accounts {
 public:
  // An empty directory holds no data. Reads the files at once.
  explicit Accounts(std::string dir);

  // Reads the files again, replacing what was held.
  void Reload();

  const std::vector<std::string> &Lines(Category category) const;
  // True when the name of the entry (the text before its first ':') is
  // marked for removal.
  bool IsRemoved(std::string_view entry) const;
  // The principal of a login, or null when the login has none.
  const std::string *Principal(std::string_view login) const;

 private:
  std::string dir_;
  std::vector<std::string> users_;
  std::vector<std::string> groups_;
  std::set<std::string, std::less<>> removed_;
  std::map<std::string, std::string, std::less<>> principals_;
};

}  // namespace agentsim
