// Pictures made by our own code for the tests, benchmarks and the sample: JPEG files written
// straight through libjpeg with whatever layout a test needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mosaicer::testing {

enum class TJpegLayout { Rgb, Grey, Cmyk };

struct TJpegOptions {
  TJpegLayout Layout = TJpegLayout::Rgb;
  int Quality = 90;
  bool Progressive = false;
  bool Arithmetic = false;
  // For Cmyk: mark the file as Adobe's (inverted data) or write plain ink amounts.
  bool AdobeMarker = true;
  // For Cmyk: store as YCCK rather than CMYK (needs the Adobe marker).
  bool Ycck = false;
};

// Interleaved samples, rows top to bottom: 3 per pixel for Rgb, 1 for Grey, 4 for Cmyk.
struct TSamples {
  int Width = 0;
  int Height = 0;
  int Components = 3;
  std::vector<std::uint8_t> Data;
};

// A deterministic picture with smooth shading, edges and grain, which compresses like a photo.
TSamples PhotoLike(int width, int height, std::uint32_t seed = 1);

// One colour everywhere.
TSamples Uniform(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b);

// Encodes samples to a JPEG file; throws std::runtime_error on failure.
void WriteJPEG(const std::string& path, const TSamples& samples, const TJpegOptions& options = {});

// The same, into memory.
std::vector<std::uint8_t> EncodeJPEG(const TSamples& samples, const TJpegOptions& options = {});

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::string& path);

}  // namespace mosaicer::testing

namespace mosaicer::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};

}  // namespace mosaicer::testing

namespace mosaicer::testing {

// libjpeg's own decode to 8-bit RGB, with its default settings: what our loader must match.
TSamples DecodeReferenceRGB(const std::vector<std::uint8_t>& jpeg);

// The JPEG with its frame header claiming another size.
std::vector<std::uint8_t> WithClaimedSize(std::vector<std::uint8_t> jpeg, int width, int height);

// The JPEG with its last scan repeated extra more times before the end marker: a small file of
// many scans, each of which makes a decoder walk the picture's blocks again.
std::vector<std::uint8_t> WithRepeatedLastScan(const std::vector<std::uint8_t>& jpeg, int extra);

// The JPEG with count empty comment markers right after its start marker.
std::vector<std::uint8_t> WithComments(const std::vector<std::uint8_t>& jpeg, int count);

// Bytes this process has read through read() and the like so far.
std::uint64_t BytesReadSoFar();

}  // namespace mosaicer::testing
