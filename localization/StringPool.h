/*
 * Texts handed out through the C lookups must outlive any reload of the table, yet a
 * lookup ten times a second must not leak. The pool keeps one copy of each distinct text
 * for the life of the process and answers the same pointer for equal contents, so memory
 * grows only with the number of distinct texts ever returned.
 *
 * Not synchronised: like the lookups it serves, it is used from the main thread only.
 */
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "localization/StringsTable.h"

namespace korvel::localization {

class StringPool {
 public:
  /* A NUL-terminated copy of `text` that stays valid as long as the pool. */
  const char* intern(std::string_view text);
  size_t size() const { return texts_.size(); }

  /* The pool behind HXLoc and HXLocFB; never destroyed. */
  static StringPool& process();

 private:
  // Node-based: elements never move, so their c_str() stays valid as the set grows.
  std::unordered_set<std::string, TextHash, std::equal_to<>> texts_;
};

}  // namespace korvel::localization
