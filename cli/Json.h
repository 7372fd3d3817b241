// Just enough JSON writing for the command-line tool's output.
#pragma once

#include <string>

namespace mosaicer {

// A JSON string literal for text that is meant to be UTF-8; bytes that do not form valid UTF-8
// become U+FFFD so the output always parses.
std::string JsonString(const std::string& text);

}  // namespace mosaicer
