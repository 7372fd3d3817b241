#include "cli/Json.h"

#include <cstdio>

namespace mosaicer {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 if there is none.
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t length;
  unsigned min;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) length = 2, min = 0x80;
  else if ((b0 & 0xF0) == 0xE0) length = 3, min = 0x800;
  else if ((b0 & 0xF8) == 0xF0) length = 4, min = 0x10000;
  else return 0;
  if (i + length > s.size()) return 0;
  unsigned code = b0 & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3Fu);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else if (length > 1) {
      out.append(text, i, length);
      i += length;
    } else {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
    }
  }
  return out + "\"";
}

}  // namespace mosaicer
