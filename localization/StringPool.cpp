#include "localization/StringPool.h"

namespace korvel::localization {

const char* StringPool::intern(std::string_view text) {
  auto found = texts_.find(text);
  if (found == texts_.end()) found = texts_.emplace(text).first;
  return found->c_str();
}

StringPool& StringPool::process() {
  static StringPool* pool = new StringPool();
  return *pool;
}

}  // namespace korvel::localization
