// The strict conversion of a typed number, as the chunk count is read.
#pragma once

#include <cstdint>
#include <string_view>

namespace mosaicer {

// Leading blanks, an optional sign, then decimal digits or one to eight hexadecimal digits
// after "$", "x" or "0x"; nothing after, not even a zero byte. Decimal values must fit a 32-bit
// signed integer; eight hexadecimal digits wrap into it ("$FFFFFFFF" is -1). On failure value
// is left as it was.
bool StrToIntStrict(std::string_view text, std::int32_t& value);

}  // namespace mosaicer
