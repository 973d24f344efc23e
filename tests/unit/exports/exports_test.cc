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

#include "support/temp_dir.h"

namespace {

std::set<std::string> ListedNames() {
  std::set<std::string> names;
  std::ifstream in(VX_EXPORT_NAMES);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names.insert(line);
  return names;
}

// Global and weak symbols defined in the dynamic symbol table of the 64-bit
// ELF image `b`, every access bounds-checked. Absolute symbols are skipped:
// the linker adds one per symbol version, and no export is absolute.
std::set<std::string> DefinedDynamicSymbols(const std::string &b) {
  auto at = [&b](uint64_t offset, uint64_t size) {
    return offset <= b.size() && b.size() - offset >= size ? b.data() + offset : nullptr;
  };
  const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(at(0, sizeof(Elf64_Ehdr)));
  if (eh == nullptr || memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64)
    return {"<not a 64-bit ELF file>"};
  auto section = [&](uint64_t i) {
    return reinterpret_cast<const Elf64_Shdr *>(
        i < eh->e_shnum ? at(eh->e_shoff + i * sizeof(Elf64_Shdr), sizeof(Elf64_Shdr)) : nullptr);
  };
  std::set<std::string> names;
  for (uint64_t i = 0; i < eh->e_shnum; ++i) {
    const Elf64_Shdr *sh = section(i), *strtab = sh != nullptr ? section(sh->sh_link) : nullptr;
    if (sh == nullptr || sh->sh_type != SHT_DYNSYM || strtab == nullptr) continue;
    for (uint64_t off = 0; off + sizeof(Elf64_Sym) <= sh->sh_size; off += sizeof(Elf64_Sym)) {
      const auto *sym = reinterpret_cast<const Elf64_Sym *>(at(sh->sh_offset + off, sizeof(Elf64_Sym)));
      if (sym == nullptr) return {"<truncated symbol table>"};
      if (sym->st_shndx == SHN_UNDEF || sym->st_shndx == SHN_ABS || ELF64_ST_BIND(sym->st_info) == STB_LOCAL)
        continue;
      const char *name = sym->st_name < strtab->sh_size ? at(strtab->sh_offset + sym->st_name, 1) : nullptr;
      names.insert(name ? std::string(name, strnlen(name, b.data() + b.size() - name)) : "<bad name>");
    }
  }
  return names;
}

TEST(Exports, EveryListedNameResolvesAndNoOtherIsDefined) {
  const std::set<std::string> listed = ListedNames();
  ASSERT_FALSE(listed.empty()) << "no names in " << VX_EXPORT_NAMES;
  void *lib = dlopen(VX_CLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const std::string &name : listed) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
  dlclose(lib);

  const std::set<std::string> defined = DefinedDynamicSymbols(vxtest::ReadFile(VX_CLIENT_LIBRARY));
  for (const std::string &name : defined) EXPECT_EQ(listed.count(name), 1u) << "unlisted export: " << name;
  for (const std::string &name : listed) EXPECT_EQ(defined.count(name), 1u) << "not exported: " << name;
}

}  // namespace
