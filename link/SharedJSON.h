/*
 * JSON from files that other programs write. Such a file may be anything: parsing never
 * throws, a document nested deeper than kMaxJSONDepth levels counts as malformed (so a
 * hostile file cannot make later recursive walks, such as dump(), run out of stack), and
 * values are read by type with a wrong type counting as absent.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvel::link {

inline constexpr int kMaxJSONDepth = 64;

/* The document's top-level object; nothing when the text is not JSON, is nested too
   deeply, or has anything but an object at the top. */
std::optional<nlohmann::json> ParseJSONObject(std::string_view text);

/* The string under `key`, or nullptr when absent or not a string. */
const std::string* StringMember(const nlohmann::json& object, const char* key);

/* An element of a note list as a signed 32-bit integer: a number gives its integer part
   (clamped into range), a string the integer its text starts with (0 if none), anything
   else 0. */
int32_t IntegerValue(const nlohmann::json& value);

}  // namespace korvel::link
