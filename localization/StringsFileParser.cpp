#include "localization/StringsFileParser.h"

#include <glib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UnicodeText.h"

namespace korvel::localization {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool StartsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  char buffer[8];
  gint length = g_unichar_to_utf8(static_cast<gunichar>(codePoint), buffer);
  out.append(buffer, static_cast<size_t>(length));
}

std::optional<std::string> Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::vector<gunichar2> units(bytes.size() / 2);
  for (size_t i = 0; i < units.size(); ++i) {
    auto hi = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 0 : 1)]);
    auto lo = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 1 : 0)]);
    units[i] = static_cast<gunichar2>((hi << 8) | lo);
    // GLib stops at a NUL unit; a NUL in the raw text is malformed anyway.
    if (units[i] == 0) return std::nullopt;
  }
  glong written = 0;
  std::unique_ptr<gchar, decltype(&g_free)> text(
      g_utf16_to_utf8(units.data(), static_cast<glong>(units.size()), nullptr, &written, nullptr),
      &g_free);
  if (!text) return std::nullopt;
  return std::string(text.get(), static_cast<size_t>(written));
}

bool IsUnquotedCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c == '/' || c == ':' || c == '.' || c == '-';
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A recursive-descent reader over validated UTF-8 text; every method that fails leaves the
// whole parse failed, so no partial table can escape.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<StringsTable> parseFile() {
    StringsTable table;
    if (!skipBlanks()) return std::nullopt;
    bool braced = peek() == '{';
    if (braced) {
      ++pos_;
      if (!skipBlanks()) return std::nullopt;
    }
    while (!atEnd() && !(braced && peek() == '}')) {
      if (!parseEntry(table) || !skipBlanks()) return std::nullopt;
    }
    if (braced) {
      if (atEnd()) return std::nullopt;
      ++pos_;  // '}'
      if (!skipBlanks() || !atEnd()) return std::nullopt;
    }
    return table;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  bool lookingAt(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

  // Skips white space and comments; false only for an unterminated block comment.
  bool skipBlanks() {
    while (!atEnd()) {
      char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        ++pos_;
      } else if (lookingAt("\u2028") || lookingAt("\u2029")) {
        pos_ += 3;
      } else if (lookingAt("/*")) {
        size_t close = text_.find("*/", pos_ + 2);
        if (close == std::string_view::npos) return false;
        pos_ = close + 2;
      } else if (lookingAt("//")) {
        size_t eol = text_.find_first_of("\r\n", pos_ + 2);
        pos_ = eol == std::string_view::npos ? text_.size() : eol;
      } else {
        return true;
      }
    }
    return true;
  }

  bool parseEntry(StringsTable& table) {
    std::optional<std::string> key = parseString();
    if (!key || !skipBlanks()) return false;
    std::string value;
    if (peek() == ';') {
      value = *key;
    } else {
      if (peek() != '=') return false;
      ++pos_;
      if (!skipBlanks()) return false;
      std::optional<std::string> parsed = parseString();
      if (!parsed || !skipBlanks() || peek() != ';') return false;
      value = std::move(*parsed);
    }
    ++pos_;  // ';'
    table.insert_or_assign(std::move(*key), std::move(value));
    return true;
  }

  std::optional<std::string> parseString() {
    char c = peek();
    if (c == '"' || c == '\'') return parseQuoted(c);
    if (!IsUnquotedCharacter(c)) return std::nullopt;
    size_t start = pos_;
    while (!atEnd() && IsUnquotedCharacter(peek())) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  std::optional<std::string> parseQuoted(char quote) {
    ++pos_;
    std::string out;
    for (;;) {
      if (atEnd()) return std::nullopt;
      char c = text_[pos_++];
      if (c == quote) return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (atEnd()) return std::nullopt;
      if (!parseEscape(out)) return std::nullopt;
    }
  }

  // After a backslash.
  bool parseEscape(std::string& out) {
    char c = text_[pos_++];
    // The letters of the C escapes and the control characters they stand for.
    static constexpr std::string_view kLetters = "abfnrtv", kControls = "\a\b\f\n\r\t\v";
    if (const size_t letter = kLetters.find(c); letter != std::string_view::npos) {
      out.push_back(kControls[letter]);
      return true;
    }
    if (c == 'u' || c == 'U') return parseUnicodeEscape(out);
    if (c >= '0' && c <= '7') {
      unsigned value = static_cast<unsigned>(c - '0');
      for (int digits = 1; digits < 3 && peek() >= '0' && peek() <= '7'; ++digits) {
        value = value * 8 + static_cast<unsigned>(text_[pos_++] - '0');
      }
      AppendUtf8(out, value);
      return true;
    }
    // Any other character (the quote, the backslash, a UTF-8 lead byte and whatever
    // follows it) stands for itself; continuation bytes are copied by the caller.
    out.push_back(c);
    return true;
  }

  // One to four hex digits; false when there are none.
  std::optional<char32_t> readHexUnit() {
    char32_t value = 0;
    int digits = 0;
    while (digits < 4 && HexDigitValue(peek()) >= 0) {
      value = value * 16 + static_cast<char32_t>(HexDigitValue(text_[pos_++]));
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    return value;
  }

  bool parseUnicodeEscape(std::string& out) {
    std::optional<char32_t> unit = readHexUnit();
    if (!unit) return false;
    char32_t codePoint = *unit;
    if (IsHighSurrogate(codePoint)) {
      codePoint = kReplacementCharacter;
      if (lookingAt("\\u") || lookingAt("\\U")) {
        size_t save = pos_;
        pos_ += 2;
        std::optional<char32_t> low = readHexUnit();
        if (low && IsLowSurrogate(*low)) {
          codePoint = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
        } else {
          pos_ = save;  // not a pair: the next escape is read on its own
        }
      }
    } else if (IsLowSurrogate(codePoint)) {
      codePoint = kReplacementCharacter;
    }
    AppendUtf8(out, codePoint);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<std::string> DecodeStringsFileText(std::string_view bytes) {
  if (StartsWith(bytes, "\xFF\xFE")) return Utf16ToUtf8(bytes.substr(2), false);
  if (StartsWith(bytes, "\xFE\xFF")) return Utf16ToUtf8(bytes.substr(2), true);
  if (StartsWith(bytes, "\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (!korvel::IsValidUTF8(bytes, /*allowNUL=*/false)) return std::nullopt;
  return std::string(bytes);
}

std::optional<StringsTable> ParseStringsFile(std::string_view bytes) {
  std::optional<std::string> text = DecodeStringsFileText(bytes);
  if (!text) return std::nullopt;
  return Parser(*text).parseFile();
}

}  // namespace korvel::localization
