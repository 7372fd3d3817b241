// The strict number conversion: blanks, signs, both number forms, their limits, and what must
// not pass.
#include <gtest/gtest.h>

#include <string>

#include "runtime/StrToInt.h"

namespace mosaicer {
namespace {

struct TCase {
  const char* Name;
  std::string Text;
  bool Ok;
  std::int32_t Value;
};

void PrintTo(const TCase& c, std::ostream* out) { *out << c.Name; }

class StrToIntStrictRows : public ::testing::TestWithParam<TCase> {};

TEST_P(StrToIntStrictRows, ConvertsOrRefuses) {
  const TCase& c = GetParam();
  std::int32_t value = 12345;
  EXPECT_EQ(StrToIntStrict(c.Text, value), c.Ok);
  // A refused text leaves the value alone.
  EXPECT_EQ(value, c.Ok ? c.Value : 12345);
}

INSTANTIATE_TEST_SUITE_P(
    , StrToIntStrictRows,
    ::testing::Values(TCase{"Plain", "16", true, 16}, TCase{"LeadingBlank", " 16", true, 16},
                      TCase{"TrailingBlank", "16 ", false, 0}, TCase{"Empty", "", false, 0},
                      TCase{"OnlyBlanks", "   ", false, 0}, TCase{"Dollar", "$10", true, 16},
                      TCase{"ZeroX", "0x10", true, 16}, TCase{"BareX", "x10", true, 16},
                      TCase{"UpperHex", "0X1a", true, 26}, TCase{"NegativeHex", "-$10", true, -16},
                      TCase{"PlusSign", "+16", true, 16}, TCase{"DollarAlone", "$", false, 0},
                      TCase{"ZeroXAlone", "0x", false, 0}, TCase{"NineHexDigits", "$123456789", false, 0},
                      TCase{"EightHexDigitsWrap", "$FFFFFFFF", true, -1},
                      TCase{"Largest", "2147483647", true, 2147483647},
                      TCase{"OneAboveLargest", "2147483648", false, 0},
                      TCase{"Smallest", "-2147483648", true, -2147483647 - 1},
                      TCase{"BelowSmallest", "-2147483649", false, 0},
                      TCase{"ManyDigits", "99999999999999999999", false, 0},
                      TCase{"Exponent", "1e3", false, 0}, TCase{"LeadingTab", "\t16", false, 0},
                      TCase{"BlankAfterSign", "- 16", false, 0}, TCase{"TwoSigns", "+-16", false, 0},
                      TCase{"EmbeddedZero", std::string("16\0x", 4), false, 0},
                      TCase{"TrailingZero", std::string("16\0", 3), false, 0},
                      TCase{"ReplacedNonLatin", "??", false, 0}, TCase{"HighByte", "1\xb2", false, 0}),
    [](const ::testing::TestParamInfo<TCase>& row) { return std::string(row.param.Name); });

}  // namespace
}  // namespace mosaicer
