// The strings-table readers: the .strings text format in its encodings, XML and binary
// property lists, and the tables the companion stand-in ships.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <string>
#include <vector>

#include "localization/StringsFileParser.h"
#include "localization/StringsTableLoader.h"

namespace korvel::localization {
namespace {

using namespace std::string_literals;

std::string Utf16(const std::u16string& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF"s : "\xFF\xFE"s;
  for (char16_t unit : text) {
    char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

TEST(StringsFileParser, EscapesCommentsAndUnquotedStrings) {
  const std::string file = R"(/* block comment with "quotes" = "x"; inside */
// line comment "a" = "b";
"quote" = "say \"hi\"";
"backslash" = "a\\b";
"controls" = "1\n2\t3\r4";
"nul" = "x\0y";
"octal" = "\101\351";
"bmp" = "\u00e9\U20AC";
"pair" = "\uD83C\uDFB9";
"lone" = "\uD83Cz";
'single' = 'it\'s';
plain.key-1/a:b = value_2;
"same";
"dup" = "first";
"dup" = "second";
)";
  std::optional<StringsTable> table = ParseStringsFile(file);
  ASSERT_TRUE(table.has_value());
  EXPECT_FALSE(table->contains("a"));
  EXPECT_EQ(table->at("quote"), "say \"hi\"");
  EXPECT_EQ(table->at("backslash"), "a\\b");
  EXPECT_EQ(table->at("controls"), "1\n2\t3\r4");
  EXPECT_EQ(table->at("nul"), "x\0y"s);
  EXPECT_EQ(table->at("octal"), "A\u00e9");
  EXPECT_EQ(table->at("bmp"), "\u00e9\u20ac");
  EXPECT_EQ(table->at("pair"), "\U0001F3B9");
  EXPECT_EQ(table->at("lone"), "\uFFFDz");
  EXPECT_EQ(table->at("single"), "it's");
  EXPECT_EQ(table->at("plain.key-1/a:b"), "value_2");
  EXPECT_EQ(table->at("same"), "same");
  EXPECT_EQ(table->at("dup"), "second");
  EXPECT_EQ(table->size(), 12u);
}

TEST(StringsFileParser, AcceptsBracedDictionaryAndEmptyFiles) {
  std::optional<StringsTable> braced = ParseStringsFile("{ \"a\" = \"b\"; } // end");
  ASSERT_TRUE(braced.has_value());
  EXPECT_EQ(braced->at("a"), "b");

  for (const std::string& empty : {""s, "  \n"s, "/* nothing */ // here"s, "{}"s}) {
    std::optional<StringsTable> table = ParseStringsFile(empty);
    ASSERT_TRUE(table.has_value()) << empty;
    EXPECT_TRUE(table->empty()) << empty;
  }
}

TEST(StringsFileParser, DecodesByByteOrderMark) {
  const std::u16string text = u"/* Kommentar */\n\"cc_label_cc\" = \"Contr\u00f4le \U0001F3B9\";\n";
  for (bool bigEndian : {false, true}) {
    std::optional<StringsTable> table = ParseStringsFile(Utf16(text, bigEndian));
    ASSERT_TRUE(table.has_value()) << bigEndian;
    EXPECT_EQ(table->at("cc_label_cc"), "Contr\u00f4le \U0001F3B9");
  }
  std::optional<StringsTable> utf8Bom = ParseStringsFile("\xEF\xBB\xBF\"k\" = \"\u65e5\u672c\";");
  ASSERT_TRUE(utf8Bom.has_value());
  EXPECT_EQ(utf8Bom->at("k"), "\u65e5\u672c");
}

TEST(StringsFileParser, RejectsMalformedInputWhole) {
  const std::vector<std::string> malformed = {
      "\"a\" = \"b\"",                      // no semicolon
      "\"a\" = \"b\"; \"c\" = \"d\"",       // the last one has none: no partial table either
      "\"a\" = \"b;",                       // unterminated string
      "\"a\" = \"b\"; /* open",             // unterminated comment
      "\"a\" = ;",                          // no value
      "= \"b\";",                           // no key
      "\"a\" \"b\";",                       // no equals sign
      "\"a\" = (\"x\", \"y\");",            // nested array
      "\"a\" = { \"x\" = \"y\"; };",        // nested dictionary
      "{ \"a\" = \"b\";",                   // unclosed brace
      "\"a\" = \"b\"; }",                   // stray brace
      "{ \"a\" = \"b\"; } \"c\" = \"d\";",  // text after the dictionary
      "\"a\" = \"\\u\";",                   // escape without digits
      "\"a\" = \"\xC3\x28\";",              // invalid UTF-8
      "\"a\" = \"b\0\";"s,                  // raw NUL
      "\xFF\xFE\"\0a"s,                     // odd UTF-16 length
      Utf16(u"\"a\" = \"\xD800\";", false), // unpaired surrogate in UTF-16
  };
  for (const std::string& input : malformed) {
    EXPECT_FALSE(ParseStringsFile(input).has_value()) << input;
  }
}

class PlistDict {
 public:
  PlistDict() : dict_(plist_new_dict()) {}
  ~PlistDict() { plist_free(dict_); }
  PlistDict& set(const char* key, plist_t value) {
    plist_dict_set_item(dict_, key, value);
    return *this;
  }
  std::string xml() const {
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict_, &out, &length);
    std::string result(out, length);
    plist_to_xml_free(out);
    return result;
  }
  std::string binary() const {
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict_, &out, &length);
    std::string result(out, length);
    plist_to_bin_free(out);
    return result;
  }

 private:
  plist_t dict_;
};

TEST(StringsTableLoader, ReadsXmlAndBinaryPropertyListsKeepingOnlyStrings) {
  PlistDict dict;
  dict.set("cc_label_cc", plist_new_string("Contr\u00f4leur"))
      .set("cc_label_articulations", plist_new_string("\u30a2\u30fc\u30c6\u30a3\u30ad\u30e5\u30ec\u30fc\u30b7\u30e7\u30f3"))
      .set("count", plist_new_uint(3))
      .set("flag", plist_new_bool(1))
      .set("nested", plist_new_dict());
  for (const std::string& encoded : {dict.xml(), dict.binary(), "\xEF\xBB\xBF\n  "s + dict.xml()}) {
    std::optional<StringsTable> table = ParseStringsTable(encoded);
    ASSERT_TRUE(table.has_value()) << encoded.substr(0, 16);
    EXPECT_EQ(table->size(), 2u);
    EXPECT_EQ(table->at("cc_label_cc"), "Contr\u00f4leur");
    EXPECT_EQ(table->at("cc_label_articulations"),
              "\u30a2\u30fc\u30c6\u30a3\u30ad\u30e5\u30ec\u30fc\u30b7\u30e7\u30f3");
  }
}

TEST(StringsTableLoader, RejectsPropertyListsThatAreNotDictionaries) {
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("x"));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(array, &xml, &length);
  std::string arrayXml(xml, length);
  plist_to_xml_free(xml);
  plist_free(array);

  EXPECT_FALSE(ParseStringsTable(arrayXml).has_value());
  EXPECT_FALSE(ParseStringsTable("<plist><dict><key>a</key>").has_value());
  EXPECT_FALSE(ParseStringsTable("bplist00 truncated").has_value());
  EXPECT_FALSE(LoadStringsTable("/nonexistent/Localizable.strings").has_value());
}

TEST(ShippedCompanionTables, EveryLanguageParsesWithTheGridHeaders) {
  const std::string resources = KORVEL_SOURCE_DIR "/companion/Resources/Tolvane.app/Contents/Resources/";
  for (const char* directory : {"de", "en", "fr", "es", "ja", "ko", "zh-Hans"}) {
    std::optional<StringsTable> table = LoadStringsTable(resources + directory + ".lproj/Localizable.strings");
    ASSERT_TRUE(table.has_value()) << directory;
    EXPECT_FALSE(table->at("cc_label_cc").empty()) << directory;
    EXPECT_FALSE(table->at("cc_label_articulations").empty()) << directory;
  }
  std::optional<StringsTable> german = LoadStringsTable(resources + "de.lproj/Localizable.strings");
  ASSERT_TRUE(german.has_value());
  EXPECT_EQ(german->at("cc_label_cc"), "Controller");
  EXPECT_EQ(german->at("cc_label_articulations"), "Artikulationen");
}

}  // namespace
}  // namespace korvel::localization
