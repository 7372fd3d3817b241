// The picture the benchmarks work on, made once per run by our own code.
#pragma once

#include <string>

#include "tests/support/TestPictures.h"

namespace mosaicer::bench {

// A 6000 x 4000 photo-like JPEG at quality 90 in a temporary folder.
inline const std::string& Photo() {
  static testing::TTempDir dir;
  static const std::string path = [] {
    const std::string p = dir.File("photo-6000x4000.jpg");
    testing::WriteJPEG(p, testing::PhotoLike(6000, 4000), {.Quality = 90});
    return p;
  }();
  return path;
}

}  // namespace mosaicer::bench
