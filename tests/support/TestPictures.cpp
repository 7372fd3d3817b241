#include "tests/support/TestPictures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "jpeg/JpegError.h"

namespace mosaicer::testing {

namespace {

bool Compress(jpeg_compress_struct* info, TJpegErrorManager* err, const TSamples* samples, const TJpegOptions* options,
              unsigned char** out, unsigned long* outSize) {
  if (setjmp(err->Jump)) return false;
  jpeg_create_compress(info);
  jpeg_mem_dest(info, out, outSize);
  info->image_width = static_cast<JDIMENSION>(samples->Width);
  info->image_height = static_cast<JDIMENSION>(samples->Height);
  info->input_components = samples->Components;
  switch (options->Layout) {
    case TJpegLayout::Rgb: info->in_color_space = JCS_RGB; break;
    case TJpegLayout::Grey: info->in_color_space = JCS_GRAYSCALE; break;
    case TJpegLayout::Cmyk: info->in_color_space = JCS_CMYK; break;
  }
  jpeg_set_defaults(info);
  if (options->Layout == TJpegLayout::Cmyk) {
    jpeg_set_colorspace(info, options->Ycck ? JCS_YCCK : JCS_CMYK);
    // Without the marker a reader takes the four components as plain CMYK.
    info->write_Adobe_marker = options->AdobeMarker;
  }
  jpeg_set_quality(info, options->Quality, TRUE);
  if (options->Progressive) jpeg_simple_progression(info);
  info->arith_code = options->Arithmetic;
  jpeg_start_compress(info, TRUE);
  const auto stride = static_cast<std::size_t>(samples->Width) * static_cast<std::size_t>(samples->Components);
  while (info->next_scanline < info->image_height) {
    JSAMPROW row = const_cast<JSAMPLE*>(samples->Data.data()) + stride * info->next_scanline;
    jpeg_write_scanlines(info, &row, 1);
  }
  jpeg_finish_compress(info);
  return true;
}

}  // namespace

TSamples PhotoLike(int width, int height, std::uint32_t seed) {
  TSamples s{width, height, 3, {}};
  s.Data.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  std::uint32_t noise = seed * 2654435761u + 1u;
  std::size_t i = 0;
  for (int y = 0; y < height; ++y) {
    const double fy = static_cast<double>(y) / std::max(height, 1);
    for (int x = 0; x < width; ++x) {
      const double fx = static_cast<double>(x) / std::max(width, 1);
      noise = noise * 1664525u + 1013904223u;
      const int grain = static_cast<int>(noise >> 28) - 8;
      // Sky-like gradient above, a textured "ground" below, a disc as an object with an edge.
      const double dx = fx - 0.6, dy = fy - 0.4;
      const bool disc = dx * dx + dy * dy < 0.02;
      const double ripple = 20.0 * std::sin(fx * 37.0 + fy * 11.0) * std::sin(fy * 23.0);
      double r, g, b;
      if (disc) {
        r = 200 + 30 * fx; g = 80 + ripple; b = 40;
      } else if (fy < 0.55) {
        r = 90 + 80 * fy; g = 140 + 60 * fy; b = 230 - 40 * fx;
      } else {
        r = 70 + ripple + 40 * fx; g = 110 + ripple; b = 50 + 30 * fy;
      }
      auto clamp = [](double v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0)); };
      s.Data[i++] = clamp(r + grain);
      s.Data[i++] = clamp(g + grain);
      s.Data[i++] = clamp(b + grain);
    }
  }
  return s;
}

TSamples Uniform(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  TSamples s{width, height, 3, {}};
  s.Data.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  for (int p = 0; p < width * height; ++p) {
    s.Data.push_back(r);
    s.Data.push_back(g);
    s.Data.push_back(b);
  }
  return s;
}

std::vector<std::uint8_t> EncodeJPEG(const TSamples& samples, const TJpegOptions& options) {
  jpeg_compress_struct info {};
  TJpegErrorManager err {};
  info.err = SetUpErrorManager(err, TJpegWarnings::Raise);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  const bool ok = Compress(&info, &err, &samples, &options, &out, &outSize);
  jpeg_destroy_compress(&info);
  std::vector<std::uint8_t> bytes;
  if (ok) bytes.assign(out, out + outSize);
  std::free(out);
  if (!ok) throw std::runtime_error(std::string("test JPEG: ") + err.Message);
  return bytes;
}

void WriteJPEG(const std::string& path, const TSamples& samples, const TJpegOptions& options) {
  WriteBytes(path, EncodeJPEG(samples, options));
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace mosaicer::testing

namespace mosaicer::testing {

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mosaicer-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  FPath = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

}  // namespace mosaicer::testing

namespace mosaicer::testing {

namespace {

bool Decompress(jpeg_decompress_struct* info, TJpegErrorManager* err, const std::vector<std::uint8_t>* jpeg, TSamples* out) {
  if (setjmp(err->Jump)) return false;
  jpeg_create_decompress(info);
  jpeg_mem_src(info, jpeg->data(), static_cast<unsigned long>(jpeg->size()));
  jpeg_read_header(info, TRUE);
  info->out_color_space = JCS_RGB;
  jpeg_start_decompress(info);
  out->Width = static_cast<int>(info->output_width);
  out->Height = static_cast<int>(info->output_height);
  out->Components = 3;
  out->Data.resize(static_cast<std::size_t>(out->Width) * static_cast<std::size_t>(out->Height) * 3);
  while (info->output_scanline < info->output_height) {
    JSAMPROW row = out->Data.data() + static_cast<std::size_t>(info->output_scanline) * static_cast<std::size_t>(out->Width) * 3;
    jpeg_read_scanlines(info, &row, 1);
  }
  jpeg_finish_decompress(info);
  return true;
}

}  // namespace

TSamples DecodeReferenceRGB(const std::vector<std::uint8_t>& jpeg) {
  jpeg_decompress_struct info {};
  TJpegErrorManager err {};
  info.err = SetUpErrorManager(err, TJpegWarnings::Ignore);
  TSamples out;
  const bool ok = Decompress(&info, &err, &jpeg, &out);
  jpeg_destroy_decompress(&info);
  if (!ok) throw std::runtime_error(std::string("reference decode: ") + err.Message);
  return out;
}

std::vector<std::uint8_t> WithClaimedSize(std::vector<std::uint8_t> jpeg, int width, int height) {
  for (std::size_t i = 0; i + 9 < jpeg.size(); ++i) {
    // Start of frame, baseline or progressive: FF C0/C2, length, precision, height, width.
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<std::uint8_t>(width);
      return jpeg;
    }
  }
  throw std::runtime_error("no frame header");
}

std::vector<std::uint8_t> WithRepeatedLastScan(const std::vector<std::uint8_t>& jpeg, int extra) {
  std::size_t sos = 0;
  for (std::size_t i = 0; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) sos = i;
  const std::size_t eoi = jpeg.size() - 2;
  if (sos == 0 || jpeg[eoi] != 0xFF || jpeg[eoi + 1] != 0xD9) throw std::runtime_error("no scan before the end marker");
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(eoi));
  for (int i = 0; i < extra; ++i)
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(sos), jpeg.begin() + static_cast<std::ptrdiff_t>(eoi));
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

std::vector<std::uint8_t> WithComments(const std::vector<std::uint8_t>& jpeg, int count) {
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  out.reserve(jpeg.size() + 4 * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) out.insert(out.end(), {0xFF, 0xFE, 0x00, 0x02});
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

std::uint64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  throw std::runtime_error("no /proc/self/io");
}

}  // namespace mosaicer::testing
