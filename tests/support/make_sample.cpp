// Writes a photo-like JPEG picture: make-sample FILE [WIDTH HEIGHT].
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "tests/support/TestPictures.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: make-sample FILE [WIDTH HEIGHT]\n");
    return 2;
  }
  const int width = argc == 4 ? std::atoi(argv[2]) : 1600;
  const int height = argc == 4 ? std::atoi(argv[3]) : 1200;
  try {
    mosaicer::testing::WriteJPEG(argv[1], mosaicer::testing::PhotoLike(width, height), {.Quality = 85});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
