// Loads a picture file into a bitmap, choosing the decoder by the file's extension.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Bitmap32.h"

namespace mosaicer {

// The text after the last "." of the file-name part of path, without the dot; empty if none.
std::string PictureExtension(const std::string& path);

// Loads path into bitmap and returns the size in bytes of the file it read. Only JPEG pictures
// ("jpg", "jpeg", "jpe", in any letter case) are known; others fail with EInvalidGraphic. A file
// that cannot be opened, or is not a regular file, fails with EFOpenError. A zero-byte file
// gives an empty picture without error.
std::int64_t LoadPictureFromFile(TBitmap32& bitmap, const std::string& path);

}  // namespace mosaicer
