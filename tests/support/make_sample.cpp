// Writes a photo-like JPEG picture: make-sample FILE [WIDTH HEIGHT [KIND]], where KIND is rgb
// (the default), progressive, arithmetic, grey, cmyk or ycck.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "tests/support/TestPictures.h"

using namespace mosaicer::testing;

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: make-sample FILE [WIDTH HEIGHT [rgb|progressive|arithmetic|grey|cmyk|ycck]]\n");
    return 2;
  }
  const int width = argc >= 4 ? std::atoi(argv[2]) : 1600;
  const int height = argc >= 4 ? std::atoi(argv[3]) : 1200;
  const char* kind = argc == 5 ? argv[4] : "rgb";
  try {
    TSamples samples = PhotoLike(width, height);
    TJpegOptions options{.Quality = 85};
    if (!std::strcmp(kind, "progressive")) {
      options.Progressive = true;
    } else if (!std::strcmp(kind, "arithmetic")) {
      options.Arithmetic = true;
    } else if (!std::strcmp(kind, "grey")) {
      options.Layout = TJpegLayout::Grey;
      TSamples grey{width, height, 1, {}};
      for (std::size_t i = 0; i + 2 < samples.Data.size(); i += 3) grey.Data.push_back(samples.Data[i + 1]);
      samples = grey;
    } else if (!std::strcmp(kind, "cmyk") || !std::strcmp(kind, "ycck")) {
      options.Layout = TJpegLayout::Cmyk;
      options.Ycck = kind[0] == 'y';
      TSamples ink{width, height, 4, {}};
      // Adobe's inverted ink: no black, and cyan, magenta, yellow as the complements of the
      // colour, so that the stored bytes are the colour itself and then 255.
      for (std::size_t i = 0; i + 2 < samples.Data.size(); i += 3) {
        ink.Data.insert(ink.Data.end(), samples.Data.begin() + static_cast<std::ptrdiff_t>(i),
                        samples.Data.begin() + static_cast<std::ptrdiff_t>(i + 3));
        ink.Data.push_back(255);
      }
      samples = ink;
    } else if (std::strcmp(kind, "rgb") != 0) {
      std::fprintf(stderr, "make-sample: unknown kind %s\n", kind);
      return 2;
    }
    WriteJPEG(argv[1], samples, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
