// The document itself: loading the picture.
#include "core/MCImage.h"

#include "jpeg/PictureLoader.h"
#include "runtime/Files.h"

namespace mosaicer {

void TMCImage::LoadFromFile(const std::string& path) {
  // A load that writes the pixels, even one that fails part way, advances their change stamp,
  // which alone retires the kept preview.
  LoadPictureFromFile(Bitmap, path);
  FileName = path;
  ImageWidth = Bitmap.Width();
  ImageHeight = Bitmap.Height();
  std::int64_t size = 0;
  // A file that vanished since it was read counts as 0 bytes.
  if (!FileSizeOf(path, size)) size = 0;
  FileSize = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(size)));
}

}  // namespace mosaicer
