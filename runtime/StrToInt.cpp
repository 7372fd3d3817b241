#include "runtime/StrToInt.h"

#include <cctype>

namespace mosaicer {

bool StrToIntStrict(std::string_view text, std::int32_t& value) {
  // Reading past the end returns '\0', which no rule accepts as a digit; an embedded zero byte
  // therefore stops the scan early and fails the "nothing after" test below.
  std::size_t i = 0;
  const auto at = [&text](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
  while (at(i) == ' ') ++i;
  bool negative = false;
  if (at(i) == '+' || at(i) == '-') negative = text[i++] == '-';
  std::uint32_t magnitude = 0;
  const char first = at(i);
  if (first == '$' || first == 'x' || first == 'X' || (first == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X'))) {
    i += first == '0' ? 2 : 1;
    int digits = 0;
    for (; std::isxdigit(static_cast<unsigned char>(at(i))); ++i, ++digits) {
      if (digits == 8) return false;
      const int c = std::tolower(static_cast<unsigned char>(at(i)));
      magnitude = magnitude * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (digits == 0) return false;
  } else {
    if (!std::isdigit(static_cast<unsigned char>(first))) return false;
    std::uint64_t decimal = 0;
    for (; std::isdigit(static_cast<unsigned char>(at(i))); ++i) {
      decimal = decimal * 10 + static_cast<std::uint64_t>(at(i) - '0');
      if (decimal > 2147483648u) return false;
    }
    if (decimal == 2147483648u && !negative) return false;
    magnitude = static_cast<std::uint32_t>(decimal);
  }
  if (i != text.size()) return false;
  value = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
  return true;
}

}  // namespace mosaicer
