// The document itself: loading the picture.
#include "core/MCImage.h"

#include "jpeg/PictureLoader.h"

namespace mosaicer {

void TMCImage::LoadFromFile(const std::string& path) {
  // A load that fails part way has still written the pixels, which the change stamp tells.
  const std::int64_t size = LoadPictureFromFile(Bitmap, path);
  FScaledValid = false;
  FScaled.SetSize(0, 0);
  FileName = path;
  ImageWidth = Bitmap.Width();
  ImageHeight = Bitmap.Height();
  FileSize = size;
}

}  // namespace mosaicer
