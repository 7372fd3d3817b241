// libpng's own reading of the PNG files the tool writes, to check them pixel by pixel.
#pragma once

#include <png.h>

#include <string>

#include "runtime/Bitmap32.h"
#include "tests/support/TestPictures.h"

namespace mosaicer::testing {

// The file as 8-bit RGB rows; empty when libpng cannot read it.
inline TSamples ReadPNG(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  TSamples samples;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return samples;
  image.format = PNG_FORMAT_RGB;
  samples.Width = static_cast<int>(image.width);
  samples.Height = static_cast<int>(image.height);
  samples.Data.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, samples.Data.data(), 0, nullptr)) samples = {};
  return samples;
}

inline TColor32 PixelOf(const TSamples& s, int x, int y) {
  const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(s.Width) + static_cast<std::size_t>(x)) * 3;
  return Color32(s.Data[i], s.Data[i + 1], s.Data[i + 2]);
}

}  // namespace mosaicer::testing
