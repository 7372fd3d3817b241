// Decodes a JPEG stream into a 32-bit bitmap through libjpeg.
#pragma once

#include "runtime/Bitmap32.h"

namespace mosaicer {

// Reads the JPEG data of the open file fd from its current position into bitmap, full size,
// alpha 255. Colour pictures come out as they are; grey-scale ones are reduced to 236 grey
// levels with Floyd-Steinberg dithering; four-component (CMYK, YCCK, Adobe's inverted CMYK)
// ones are converted to RGB. Warnings are ignored and data that ends early is decoded as far as
// it goes; reading stops at the end of the picture, whatever follows it. A library error raises
// EJPEG with its message code and the library's text as detail, a file of more than 100 scans
// EInvalidGraphic, and a picture the process has no memory for EOutOfMemory: before the
// pixels, the bitmap is untouched; while decoding them, the bitmap is emptied.
void DecodeJPEG(int fd, TBitmap32& bitmap);

}  // namespace mosaicer
