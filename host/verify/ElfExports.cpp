#include "host/verify/ElfExports.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace korvel::host {
namespace {

template <class T>
T ReadAt(const std::vector<char>& file, uint64_t offset, const std::string& path) {
  if (offset > file.size() || file.size() - offset < sizeof(T))
    throw ElfError(path + ": truncated ELF file");
  T value;
  std::memcpy(&value, file.data() + offset, sizeof(T));
  return value;
}

}  // namespace

std::vector<std::string> ReadExportedSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ElfError(path + ": cannot open");
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  auto header = ReadAt<Elf64_Ehdr>(file, 0, path);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB)
    throw ElfError(path + ": not a 64-bit little-endian ELF file");
  if (header.e_shentsize != sizeof(Elf64_Shdr)) throw ElfError(path + ": odd section headers");

  auto section = [&](uint32_t index) {
    if (index >= header.e_shnum) throw ElfError(path + ": section index out of range");
    return ReadAt<Elf64_Shdr>(file, header.e_shoff + uint64_t(index) * sizeof(Elf64_Shdr), path);
  };

  std::vector<std::string> names;
  for (uint32_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr symtab = section(i);
    if (symtab.sh_type != SHT_DYNSYM) continue;
    Elf64_Shdr strtab = section(symtab.sh_link);
    if (symtab.sh_entsize != sizeof(Elf64_Sym)) throw ElfError(path + ": odd symbol entries");
    for (uint64_t k = 1; k < symtab.sh_size / sizeof(Elf64_Sym); ++k) {
      auto sym = ReadAt<Elf64_Sym>(file, symtab.sh_offset + k * sizeof(Elf64_Sym), path);
      unsigned bind = ELF64_ST_BIND(sym.st_info);
      unsigned type = ELF64_ST_TYPE(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF) continue;
      if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
      if (type == STT_SECTION || type == STT_FILE) continue;
      if (sym.st_name >= strtab.sh_size || strtab.sh_offset + sym.st_name >= file.size())
        throw ElfError(path + ": symbol name out of range");
      const char* name = file.data() + strtab.sh_offset + sym.st_name;
      size_t room = std::min<uint64_t>(strtab.sh_size - sym.st_name,
                                       file.size() - (strtab.sh_offset + sym.st_name));
      names.emplace_back(name, strnlen(name, room));
    }
  }
  return names;
}

}  // namespace korvel::host
