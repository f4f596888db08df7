// The names a shared object exports: the defined global and weak symbols of its dynamic
// symbol table, read from the file itself.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::host {

class ElfError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<std::string> ReadExportedSymbols(const std::string& sharedObjectPath);

}  // namespace korvel::host
