// The document itself: loading the picture.
#include "core/MCImage.h"

#include "jpeg/PictureLoader.h"

namespace mosaicer {

void TMCImage::LoadFromFile(const std::string& path) {
  // A load that writes the pixels, even one that fails part way, advances their change stamp,
  // which alone retires the kept preview.
  const std::int64_t size = LoadPictureFromFile(Bitmap, path);
  FileName = path;
  ImageWidth = Bitmap.Width();
  ImageHeight = Bitmap.Height();
  FileSize = size;
}

}  // namespace mosaicer
