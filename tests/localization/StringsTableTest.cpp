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
    const char hi = char(unit >> 8), lo = char(unit & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

// `node` as an XML or binary property list; frees it.
std::string Encode(plist_t node, bool binary) {
  char* out = nullptr;
  uint32_t length = 0;
  binary ? plist_to_bin(node, &out, &length) : plist_to_xml(node, &out, &length);
  std::string result(out, length);
  binary ? plist_to_bin_free(out) : plist_to_xml_free(out);
  plist_free(node);
  return result;
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
  EXPECT_EQ(ParseStringsFile(file), (StringsTable{{"quote", "say \"hi\""},
                                                  {"backslash", "a\\b"},
                                                  {"controls", "1\n2\t3\r4"},
                                                  {"nul", "x\0y"s},
                                                  {"octal", "A\u00e9"},
                                                  {"bmp", "\u00e9\u20ac"},
                                                  {"pair", "\U0001F3B9"},
                                                  {"lone", "\uFFFDz"},
                                                  {"single", "it's"},
                                                  {"plain.key-1/a:b", "value_2"},
                                                  {"same", "same"},
                                                  {"dup", "second"}}));
  EXPECT_EQ(ParseStringsFile("{ \"a\" = \"b\"; } // end"), (StringsTable{{"a", "b"}}));
  for (const std::string& empty : {""s, "  \n"s, "/* nothing */ // here"s, "{}"s})
    EXPECT_EQ(ParseStringsFile(empty), StringsTable{}) << empty;
}

TEST(StringsFileParser, DecodesByByteOrderMark) {
  const std::u16string text = u"/* Kommentar */\n\"cc_label_cc\" = \"Contr\u00f4le \U0001F3B9\";\n";
  for (bool bigEndian : {false, true})
    EXPECT_EQ(ParseStringsFile(Utf16(text, bigEndian)),
              (StringsTable{{"cc_label_cc", "Contr\u00f4le \U0001F3B9"}}));
  EXPECT_EQ(ParseStringsFile("\xEF\xBB\xBF\"k\" = \"\u65e5\u672c\";"),
            (StringsTable{{"k", "\u65e5\u672c"}}));
}

TEST(StringsFileParser, RejectsMalformedInputWhole) {
  const std::vector<std::string> malformed = {
      "\"a\" = \"b\"",                       // no semicolon
      "\"a\" = \"b\"; \"c\" = \"d\"",        // the last one has none: no partial table either
      "\"a\" = \"b;",                        // unterminated string
      "\"a\" = \"b\"; /* open",              // unterminated comment
      "\"a\" = ;",                           // no value
      "= \"b\";",                            // no key
      "\"a\" \"b\";",                        // no equals sign
      "\"a\" = (\"x\", \"y\");",             // nested array
      "\"a\" = { \"x\" = \"y\"; };",         // nested dictionary
      "{ \"a\" = \"b\";",                    // unclosed brace
      "\"a\" = \"b\"; }",                    // stray brace
      "{ \"a\" = \"b\"; } \"c\" = \"d\";",   // text after the dictionary
      "\"a\" = \"\\u\";",                    // escape without digits
      "\"a\" = \"\xC3\x28\";",               // invalid UTF-8
      "\"a\" = \"b\0\";"s,                   // raw NUL
      "\xFF\xFE\"\0a"s,                      // odd UTF-16 length
      Utf16(u"\"a\" = \"\xD800\";", false),  // unpaired surrogate in UTF-16
  };
  for (const std::string& input : malformed)
    EXPECT_FALSE(ParseStringsFile(input).has_value()) << input;
}

TEST(StringsTableLoader, ReadsPropertyListDictionariesKeepingOnlyStrings) {
  const std::string articulations =
      "\u30a2\u30fc\u30c6\u30a3\u30ad\u30e5\u30ec\u30fc\u30b7\u30e7\u30f3";
  auto dict = [&] {
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "cc_label_cc", plist_new_string("Contr\u00f4leur"));
    plist_dict_set_item(d, "cc_label_articulations", plist_new_string(articulations.c_str()));
    plist_dict_set_item(d, "count", plist_new_uint(3));
    plist_dict_set_item(d, "flag", plist_new_bool(1));
    plist_dict_set_item(d, "nested", plist_new_dict());
    return d;
  };
  for (const std::string& encoded :
       {Encode(dict(), false), Encode(dict(), true), "\xEF\xBB\xBF\n  "s + Encode(dict(), false)})
    EXPECT_EQ(ParseStringsTable(encoded), (StringsTable{{"cc_label_cc", "Contr\u00f4leur"},
                                                        {"cc_label_articulations", articulations}}))
        << encoded.substr(0, 16);

  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("x"));
  for (const std::string& bad :
       {Encode(array, false), "<plist><dict><key>a</key>"s, "bplist00 truncated"s})
    EXPECT_FALSE(ParseStringsTable(bad).has_value()) << bad;
  EXPECT_FALSE(LoadStringsTable("/nonexistent/Localizable.strings").has_value());
}

TEST(ShippedCompanionTables, EveryLanguageParsesWithTheGridHeaders) {
  const std::string resources =
      KORVEL_SOURCE_DIR "/companion/Resources/Tolvane.app/Contents/Resources/";
  for (const char* directory : {"de", "en", "fr", "es", "ja", "ko", "zh-Hans"}) {
    std::optional<StringsTable> table =
        LoadStringsTable(resources + directory + ".lproj/Localizable.strings");
    ASSERT_TRUE(table.has_value()) << directory;
    EXPECT_FALSE(table->at("cc_label_cc").empty()) << directory;
    EXPECT_FALSE(table->at("cc_label_articulations").empty()) << directory;
    if (std::string(directory) == "de") {
      EXPECT_EQ(table->at("cc_label_cc"), "Controller");
      EXPECT_EQ(table->at("cc_label_articulations"), "Artikulationen");
    }
  }
}

}  // namespace
}  // namespace korvel::localization
