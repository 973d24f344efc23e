// The exported interface of libvxclient.so is exactly the names of the
// module export lists: each resolves with dlsym, and the dynamic symbol
// table (read straight from the ELF file) defines nothing else.

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::set<std::string> ListedNames() {
  std::set<std::string> names;
  std::ifstream in(VX_EXPORT_NAMES);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) names.insert(line);
  }
  return names;
}

// A 64-bit ELF image with bounds-checked access to its parts.
class ElfImage {
 public:
  explicit ElfImage(const std::string &bytes) : bytes_(bytes) {}

  bool Valid() const {
    const auto *eh = At<Elf64_Ehdr>(0);
    return eh != nullptr && memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 &&
           eh->e_ident[EI_CLASS] == ELFCLASS64 && eh->e_shentsize == sizeof(Elf64_Shdr);
  }

  std::vector<const Elf64_Shdr *> Sections() const {
    const auto *eh = At<Elf64_Ehdr>(0);
    std::vector<const Elf64_Shdr *> out;
    for (size_t i = 0; i < eh->e_shnum; ++i) {
      const auto *sh = At<Elf64_Shdr>(eh->e_shoff + i * sizeof(Elf64_Shdr));
      if (sh == nullptr) return {};
      out.push_back(sh);
    }
    return out;
  }

  template <typename T>
  const T *At(uint64_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return nullptr;
    return reinterpret_cast<const T *>(bytes_.data() + offset);
  }

  std::string String(const Elf64_Shdr &table, uint64_t index) const {
    const uint64_t offset = table.sh_offset + index;
    if (index >= table.sh_size || offset >= bytes_.size()) return {};
    return std::string(bytes_.c_str() + offset, strnlen(bytes_.data() + offset, bytes_.size() - offset));
  }

 private:
  const std::string &bytes_;
};

// Names of the symbol versions the library defines: the linker adds each as
// an absolute symbol, which is no exported function.
std::set<std::string> VersionNames(const ElfImage &elf, const std::vector<const Elf64_Shdr *> &sections) {
  std::set<std::string> names;
  for (const Elf64_Shdr *sh : sections) {
    if (sh->sh_type != SHT_GNU_verdef || sh->sh_link >= sections.size()) continue;
    uint64_t offset = sh->sh_offset;
    for (uint64_t i = 0; i < sh->sh_info; ++i) {
      const auto *vd = elf.At<Elf64_Verdef>(offset);
      if (vd == nullptr) break;
      if (const auto *aux = elf.At<Elf64_Verdaux>(offset + vd->vd_aux))
        names.insert(elf.String(*sections[sh->sh_link], aux->vda_name));
      if (vd->vd_next == 0) break;
      offset += vd->vd_next;
    }
  }
  return names;
}

// Every global or weak symbol that the library defines in .dynsym.
std::set<std::string> DefinedDynamicSymbols(const std::string &bytes) {
  const ElfImage elf(bytes);
  if (!elf.Valid()) return {"<not a 64-bit ELF file>"};
  const auto sections = elf.Sections();
  const std::set<std::string> versions = VersionNames(elf, sections);
  std::set<std::string> names;
  for (const Elf64_Shdr *sh : sections) {
    if (sh->sh_type != SHT_DYNSYM || sh->sh_link >= sections.size()) continue;
    for (uint64_t off = 0; off + sizeof(Elf64_Sym) <= sh->sh_size; off += sizeof(Elf64_Sym)) {
      const auto *sym = elf.At<Elf64_Sym>(sh->sh_offset + off);
      if (sym == nullptr) break;
      if (sym->st_shndx == SHN_UNDEF || ELF64_ST_BIND(sym->st_info) == STB_LOCAL) continue;
      const std::string name = elf.String(*sections[sh->sh_link], sym->st_name);
      if (sym->st_shndx == SHN_ABS && versions.count(name) != 0) continue;
      names.insert(name);
    }
  }
  return names;
}

TEST(Exports, EveryListedNameResolves) {
  const std::set<std::string> listed = ListedNames();
  ASSERT_FALSE(listed.empty()) << "no names in " << VX_EXPORT_NAMES;
  void *lib = dlopen(VX_CLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const std::string &name : listed) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
  dlclose(lib);
}

TEST(Exports, TheLibraryDefinesNoOtherDynamicSymbol) {
  const std::string bytes = vxtest::ReadFile(VX_CLIENT_LIBRARY);
  ASSERT_FALSE(bytes.empty()) << VX_CLIENT_LIBRARY;
  const std::set<std::string> defined = DefinedDynamicSymbols(bytes);
  const std::set<std::string> listed = ListedNames();
  for (const std::string &name : defined) EXPECT_EQ(listed.count(name), 1u) << "unlisted export: " << name;
  for (const std::string &name : listed) EXPECT_EQ(defined.count(name), 1u) << "not exported: " << name;
}

}  // namespace
