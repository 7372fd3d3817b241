#include "jpeg/PictureLoader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "jpeg/JpegDecoder.h"
#include "runtime/Exceptions.h"
#include "runtime/Files.h"

namespace mosaicer {

namespace {

bool IsJPEGExtension(std::string extension) {
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  constexpr std::array<std::string_view, 3> known = {"jpg", "jpeg", "jpe"};
  return std::find(known.begin(), known.end(), extension) != known.end();
}

}  // namespace

std::string PictureExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) return {};
  return path.substr(dot + 1);
}

std::int64_t LoadPictureFromFile(TBitmap32& bitmap, const std::string& path) {
  const std::string extension = PictureExtension(path);
  if (!IsJPEGExtension(extension)) throw EInvalidGraphic::UnknownExtension(extension);
  std::int64_t size = 0;
  TFileHandle file = OpenFileForReading(path, &size);
  if (size == 0) {
    bitmap.SetSize(0, 0);
    return 0;
  }
  DecodeJPEG(file.Fd(), bitmap);
  return size;
}

}  // namespace mosaicer
