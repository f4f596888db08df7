/* A strings table: text key to translated text, both UTF-8. Looked up with string_view
 * keys without building a std::string per lookup (the editor looks texts up on every
 * redraw). */
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvel::localization {

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

using StringsTable = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

}  // namespace korvel::localization
