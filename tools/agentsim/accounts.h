// The account data the agent serves, read from a data directory:
//   passwd  passwd-format lines (name:x:uid:gid:gecos:home:shell)
//   group   group-format lines (name:x:gid:members)
//   remove  names (user or group) marked for removal, one per line
//   upn     `login principal` per line, whitespace separated
// A missing file is empty. Lines are kept in file order; empty lines are
// skipped.
//
// The string sets of the list and dump replies are encoded when the
// directory is read (and again on every reload), so serving even a very
// long list costs no more than sending its bytes.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "encoded_set.h"

namespace agentsim {

enum class Category { kUser, kGroup };
enum class Selection { kAll, kVisible, kRemove };

class Accounts {
 public:
  // An empty directory holds no data. Reads the files at once.
  explicit Accounts(std::string dir);

  // Reads the files again, replacing what was held.
  void Reload();

  // The entries of a list: all of them, those not marked for removal
  // (visible), or only those marked. Never null.
  std::shared_ptr<const EncodedSet> Listing(Category category, Selection selection) const;
  // Every entry, each followed by "\tremove" when it is marked. Never null.
  std::shared_ptr<const EncodedSet> Dump(Category category) const;
  // The principal of a login, or null when the login has none.
  const std::string *Principal(std::string_view login) const;

 private:
  struct Replies {
    std::shared_ptr<const EncodedSet> all, visible, remove, dump;
  };

  // True when the name of the entry (the text before its first ':') is
  // marked for removal.
  bool IsRemoved(std::string_view entry) const;
  Replies Encode(const std::vector<std::string_view> &lines) const;
  const Replies &Of(Category category) const { return category == Category::kUser ? users_ : groups_; }

  std::string dir_;
  Replies users_;
  Replies groups_;
  std::set<std::string, std::less<>> removed_;
  std::map<std::string, std::string, std::less<>> principals_;
};

}  // namespace agentsim
