// Writing a bitmap as a PNG file, through libpng.
#pragma once

#include <string>

#include "runtime/Bitmap32.h"

namespace mosaicer {

// Writes the bitmap's colour channels as an 8-bit RGB PNG file, replacing any file of that
// name. A file that cannot be created fails with EFCreateError; a failure while writing fails
// with Exception and removes the broken file (when it is a regular file).
void WritePNG(const std::string& path, const TBitmap32& bitmap);

}  // namespace mosaicer
