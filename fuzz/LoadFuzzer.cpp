// Feeds whole files to the picture loader's JPEG path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "jpeg/JpegDecoder.h"
#include "runtime/Exceptions.h"

using namespace mosaicer;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // 64 MiB of pixels keeps every input fast; the limit itself is tested elsewhere.
  TBitmap32::SetMaxPixelBytes(std::size_t{64} << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // the loader never hands an empty file to the decoder
  const int fd = memfd_create("picture.jpg", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) == static_cast<ssize_t>(size) && lseek(fd, 0, SEEK_SET) == 0) {
    TBitmap32 bitmap;
    try {
      DecodeJPEG(fd, bitmap);
      // Every pixel of a decoded picture is opaque.
      const std::size_t count = static_cast<std::size_t>(bitmap.Width()) * static_cast<std::size_t>(bitmap.Height());
      for (std::size_t i = 0; i < count; ++i)
        if (AlphaOf(bitmap.Bits()[i]) != 255) __builtin_trap();
    } catch (const Exception&) {
      // A refusal leaves no half-decoded picture behind.
      if (!bitmap.Empty()) __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
