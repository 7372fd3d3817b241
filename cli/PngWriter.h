// Writing a bitmap as a PNG file, through libpng.
#pragma once

#include <string>

#include "runtime/Bitmap32.h"

namespace mosaicer {

// Writes the bitmap's colour channels as an 8-bit RGB PNG file, published whole (TFileStream; a
// symbolic link stays and its target is replaced, a device or FIFO is written straight). A file
// that cannot be created fails with EFCreateError; a failure while writing fails with Exception
// and leaves what was at the path.
void WritePNG(const std::string& path, const TBitmap32& bitmap);

}  // namespace mosaicer
