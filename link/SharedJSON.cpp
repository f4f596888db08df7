#include "link/SharedJSON.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

namespace korvel::link {
namespace {

template <class T>
int32_t ClampToInt32(T value) {
  constexpr auto lo = std::numeric_limits<int32_t>::min();
  constexpr auto hi = std::numeric_limits<int32_t>::max();
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(value)) return 0;
    value = std::trunc(value);
    if (value <= static_cast<T>(lo)) return lo;
    if (value >= static_cast<T>(hi)) return hi;
    return static_cast<int32_t>(value);
  } else if constexpr (std::is_signed_v<T>) {
    return value < lo ? lo : value > hi ? hi : static_cast<int32_t>(value);
  } else {
    return value > static_cast<uint64_t>(hi) ? hi : static_cast<int32_t>(value);
  }
}

}  // namespace

std::optional<nlohmann::json> ParseJSONObject(std::string_view text) {
  try {
    bool tooDeep = false;
    // The parser itself is iterative; the callback only has to notice the depth and
    // drop what lies below the limit so that nothing deep is ever built.
    auto limitDepth = [&tooDeep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
      if ((event == nlohmann::json::parse_event_t::object_start ||
           event == nlohmann::json::parse_event_t::array_start) &&
          depth >= kMaxJSONDepth) {
        tooDeep = true;
        return false;
      }
      return true;
    };
    nlohmann::json document = nlohmann::json::parse(text.begin(), text.end(), limitDepth,
                                                    /*allow_exceptions=*/false);
    if (tooDeep || !document.is_object()) return std::nullopt;
    return document;
  } catch (...) {
    return std::nullopt;  // only allocation failure can get here
  }
}

const std::string* StringMember(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

int32_t IntegerValue(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
      return ClampToInt32(value.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return ClampToInt32(value.get<uint64_t>());
    case nlohmann::json::value_t::number_float:
      return ClampToInt32(value.get<double>());
    case nlohmann::json::value_t::string: {
      const std::string& text = *value.get_ptr<const std::string*>();
      // strtoll stops at the first non-digit and at an embedded NUL alike.
      long long parsed = std::strtoll(text.c_str(), nullptr, 10);
      return ClampToInt32(parsed);
    }
    default:
      return 0;
  }
}

}  // namespace korvel::link
