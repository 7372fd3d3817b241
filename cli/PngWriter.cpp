#include "cli/PngWriter.h"

#include <png.h>

#include <vector>

#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
#include "runtime/Files.h"

namespace mosaicer {

void WritePNG(const std::string& path, const TBitmap32& bitmap) {
  if (bitmap.Empty()) throw Exception("Cannot write an empty picture to \"" + path + "\"");
  // libpng's simplified interface takes rows of R, G, B bytes; ours hold B, G, R, A.
  const auto width = static_cast<std::size_t>(bitmap.Width());
  std::vector<std::uint8_t> rgb(width * static_cast<std::size_t>(bitmap.Height()) * 3);
  std::uint8_t* to = rgb.data();
  for (std::int32_t y = 0; y < bitmap.Height(); ++y) {
    const TColor32* row = bitmap.ScanLine(y);
    for (std::size_t x = 0; x < width; ++x) {
      *to++ = RedOf(row[x]);
      *to++ = GreenOf(row[x]);
      *to++ = BlueOf(row[x]);
    }
  }

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(bitmap.Width());
  image.height = static_cast<png_uint_32>(bitmap.Height());
  image.format = PNG_FORMAT_RGB;
  // Made in memory first (the same bytes the stdio variant writes), so that the file is
  // published whole and a failure to encode never touches the path.
  png_alloc_size_t size = 0;
  std::vector<std::uint8_t> png;
  bool encoded = png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr) != 0;
  if (encoded) {
    png.resize(size);
    encoded = png_image_write_to_memory(&image, png.data(), &size, 0, rgb.data(), 0, nullptr) != 0;
    png.resize(size);
  }
  const std::string message = encoded ? std::string() : std::string(image.message);
  png_image_free(&image);
  if (!encoded) throw Exception("Cannot write file \"" + ExpandFileName(path) + "\". " + message);

  TFileStream file(path, TLinkPolicy::Follow);
  file.Write(png.data(), png.size());
  if (!file.Close()) throw Exception("Cannot write file \"" + ExpandFileName(path) + "\". " + SysErrorMessage(file.Error()));
}

}  // namespace mosaicer
