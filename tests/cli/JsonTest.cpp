// The JSON string literal: escaping, and valid UTF-8 whatever bytes come in.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "cli/Json.h"
#include "tests/support/NamedRows.h"

namespace mosaicer {
namespace {

struct TJsonCase {
  const char* Name;
  std::string Text;
  std::string Json;
  const char* Why = "";
};

void PrintTo(const TJsonCase& c, std::ostream* out) { *out << c.Name; }

class JsonStringRows : public ::testing::TestWithParam<TJsonCase> {};

TEST_P(JsonStringRows, EscapedAndAlwaysValidUtf8) {
  EXPECT_EQ(JsonString(GetParam().Text), GetParam().Json) << GetParam().Why;
}

const std::string kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    , JsonStringRows,
    ::testing::Values(
        TJsonCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        TJsonCase{"TabLineEndAndControl", "tab\there\n\x01", "\"tab\\there\\n\\u0001\""},
        TJsonCase{"TwoByteLetter", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
        TJsonCase{"Latin1Byte", "bad\xE9!", "\"bad" + kReplacement + "!\""},
        TJsonCase{"OverlongSlash", "\xC0\xAF", "\"" + kReplacement + kReplacement + "\"", "overlong form"},
        TJsonCase{"FourByteEmoji", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        TJsonCase{"Empty", "", "\"\""},
        // Every control character must be escaped, or the output does not parse.
        TJsonCase{"NulByte", std::string("a\0b", 3), "\"a\\u0000b\""},
        TJsonCase{"CarriageReturn", "\r", "\"\\r\""},
        TJsonCase{"Backspace", "\b", "\"\\u0008\""},
        TJsonCase{"LastControl", "\x1F", "\"\\u001f\""},
        TJsonCase{"SpaceIsPlain", " ", "\" \""},
        TJsonCase{"DeleteIsPlain", "\x7F", "\"\x7F\"", "JSON only requires escaping below U+0020"},
        TJsonCase{"SlashIsPlain", "a/b", "\"a/b\""},
        // The edges of valid UTF-8 are kept, everything past them replaced byte by byte.
        TJsonCase{"LargestTwoByte", "\xDF\xBF", "\"\xDF\xBF\""},
        TJsonCase{"ThreeByteEdge", "\xEF\xBF\xBF", "\"\xEF\xBF\xBF\""},
        TJsonCase{"LargestCodePoint", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
        TJsonCase{"PastLargestCodePoint", "\xF4\x90\x80\x80", "\"" + kReplacement + kReplacement + kReplacement + kReplacement + "\""},
        TJsonCase{"Surrogate", "\xED\xA0\x80", "\"" + kReplacement + kReplacement + kReplacement + "\"", "UTF-16 halves are not characters"},
        TJsonCase{"OverlongThreeByte", "\xE0\x80\xAF", "\"" + kReplacement + kReplacement + kReplacement + "\""},
        TJsonCase{"LoneContinuation", "\x80x", "\"" + kReplacement + "x\""},
        TJsonCase{"FiveByteLead", "\xF8\x88\x80\x80\x80", "\"" + kReplacement + kReplacement + kReplacement + kReplacement + kReplacement + "\""},
        TJsonCase{"CutShortAtTheEnd", "ab\xE2\x82", "\"ab" + kReplacement + kReplacement + "\"", "a sequence may not reach past the text"},
        TJsonCase{"CutShortByAQuote", "\xE2\"", "\"" + kReplacement + "\\\"\"", "the byte after a broken lead is read again"},
        TJsonCase{"HighByteBeforeControl", "\xFF\n", "\"" + kReplacement + "\\n\""}),
    testing::TRowName());

}  // namespace
}  // namespace mosaicer
