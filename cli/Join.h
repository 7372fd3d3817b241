// Rebuilding a picture from the HTML a save wrote, to check that a published page still holds
// every fragment in its place.
#pragma once

#include <string>

#include "runtime/Bitmap32.h"

namespace mosaicer {

// Parses the page or snippet in the file page, loads every fragment its images name (relative to
// root) and pastes them by the outer table's rows and cells into picture, which is resized. Fails with Exception
// naming the first problem and its fragment: a fragment that cannot be loaded, one whose size is
// not its tag's width and height, or rows that do not add up to the picture.
void JoinPage(const std::string& page, const std::string& root, TBitmap32& picture);

// The peak signal-to-noise ratio of b against a over the colour channels, in dB; infinite when
// they are equal. Pictures of different sizes fail with Exception.
double PSNR(const TBitmap32& a, const TBitmap32& b);

}  // namespace mosaicer
