#include "cli/PngWriter.h"

#include <png.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "runtime/Exceptions.h"
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

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw EFCreateError(ExpandFileName(path), errno);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(bitmap.Width());
  image.height = static_cast<png_uint_32>(bitmap.Height());
  image.format = PNG_FORMAT_RGB;
  const bool written = png_image_write_to_stdio(&image, file, 0, rgb.data(), 0, nullptr) != 0;
  const std::string message = written ? std::string() : std::string(image.message);
  png_image_free(&image);
  const int writeError = std::ferror(file) ? errno : 0;
  const bool closed = std::fclose(file) == 0;
  if (written && closed && writeError == 0) return;
  const int closeError = errno;
  // Only a regular file can be half written; a device such as /dev/full stays.
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) std::remove(path.c_str());
  std::string reason = message;
  if (reason.empty()) reason = SysErrorMessage(writeError ? writeError : closeError);
  throw Exception("Cannot write file \"" + ExpandFileName(path) + "\". " + reason);
}

}  // namespace mosaicer
