#include "jpeg/JpegDecoder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/JpegError.h"
#include "runtime/Exceptions.h"

#include <jerror.h>
// For the marker reader's count of bytes skipped in search of a marker; the struct is part of
// the library's fixed ABI and the header ships with it.
#include <jpegint.h>

namespace mosaicer {

namespace {

// No encoder writes more scans than this (libjpeg's own progression has 10). Every scan of a
// multi-scan file walks all the blocks of its components, so a small file of thousands of
// empty scans would otherwise decode for minutes.
constexpr int kMaxScans = 100;

// Reads the file in blocks. At its end, and wherever the data can no longer belong to the
// picture, it inserts an end-of-image marker, so the picture decodes as far as it goes.
constexpr std::size_t kSourceBlock = 64 * 1024;
// Bytes that are not a marker, skipped while looking for the next one: a picture padded by a
// careless writer has a few; past this it is followed by other data, not by more picture.
constexpr unsigned kMaxSkippedBytes = 1u << 20;
// What a file may hold beyond its pictures' worst-case data (metadata, thumbnails), and that
// worst case per pixel; the rest is read as the end of the picture.
constexpr std::uint64_t kMaxInputBase = std::uint64_t{64} << 20;
constexpr std::uint64_t kMaxInputPerPixel = 16;

struct TSourceManager {
  jpeg_source_mgr Pub;
  int Fd;
  JOCTET* Buffer;
  bool AtStart;
  bool Ended;
  std::uint64_t Read;
  std::uint64_t MaxRead;
};

void InitSource(j_decompress_ptr cinfo) {
  reinterpret_cast<TSourceManager*>(cinfo->src)->AtStart = true;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<TSourceManager*>(cinfo->src);
  ssize_t got = 0;
  const bool beyond = src->Read >= src->MaxRead || (cinfo->marker && cinfo->marker->discarded_bytes > kMaxSkippedBytes);
  if (!src->Ended && !beyond) {
    do {
      got = ::read(src->Fd, src->Buffer, kSourceBlock);
    } while (got < 0 && errno == EINTR);
  }
  if (got <= 0) {
    if (src->AtStart) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    // Once ended, every later call gets the marker again without reading on.
    src->Ended = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->Buffer[0] = 0xFF;
    src->Buffer[1] = JPEG_EOI;
    got = 2;
  } else {
    src->Read += static_cast<std::uint64_t>(got);
  }
  src->Pub.next_input_byte = src->Buffer;
  src->Pub.bytes_in_buffer = static_cast<std::size_t>(got);
  src->AtStart = false;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<TSourceManager*>(cinfo->src);
  if (count <= 0) return;
  while (count > static_cast<long>(src->Pub.bytes_in_buffer)) {
    count -= static_cast<long>(src->Pub.bytes_in_buffer);
    FillInputBuffer(cinfo);
    // The end marker stays to be read rather than skipped.
    if (src->Ended) return;
  }
  src->Pub.next_input_byte += count;
  src->Pub.bytes_in_buffer -= static_cast<std::size_t>(count);
}

void TermSource(j_decompress_ptr) {}

// Called by the library many times per scan while it reads the data.
void CountScans(j_common_ptr cinfo);

enum class TOutput { Colour, Grey, Cmyk };

struct TDecodeContext {
  jpeg_decompress_struct Info {};
  TJpegErrorManager Error {};
  TSourceManager Source {};
  jpeg_progress_mgr Progress {};
  bool Created = false;
  bool TooManyScans = false;
  TOutput Output = TOutput::Colour;

  ~TDecodeContext() {
    if (Created) jpeg_destroy_decompress(&Info);
  }
};

void CountScans(j_common_ptr cinfo) {
  auto* info = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (info->input_scan_number <= kMaxScans) return;
  static_cast<TDecodeContext*>(info->client_data)->TooManyScans = true;
  ERREXIT(cinfo, JERR_NOT_COMPILED);
}

// Header and decoding settings. Returns false after a library error.
bool ReadHeaderStep(TDecodeContext* ctx, std::size_t memoryLimit) {
  ctx->Info.err = SetUpErrorManager(ctx->Error, TJpegWarnings::Ignore);
  if (setjmp(ctx->Error.Jump)) return false;
  jpeg_create_decompress(&ctx->Info);
  ctx->Created = true;
  // The library's own working memory (a progressive picture keeps all its coefficients) gets
  // the same bound as a bitmap; past it the library fails rather than the machine.
  ctx->Info.mem->max_memory_to_use = static_cast<long>(memoryLimit);
  ctx->Info.src = &ctx->Source.Pub;
  ctx->Source.Pub.init_source = InitSource;
  ctx->Source.Pub.fill_input_buffer = FillInputBuffer;
  ctx->Source.Pub.skip_input_data = SkipInputData;
  ctx->Source.Pub.resync_to_restart = jpeg_resync_to_restart;
  ctx->Source.Pub.term_source = TermSource;
  ctx->Progress.progress_monitor = CountScans;
  ctx->Info.progress = &ctx->Progress;
  ctx->Info.client_data = ctx;
  jpeg_read_header(&ctx->Info, TRUE);

  jpeg_decompress_struct& info = ctx->Info;
  info.scale_num = 1;
  info.scale_denom = 1;
  info.do_block_smoothing = TRUE;
  info.buffered_image = FALSE;
  switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      ctx->Output = TOutput::Grey;
      info.out_color_space = JCS_GRAYSCALE;
      info.quantize_colors = TRUE;
      info.desired_number_of_colors = 236;
      info.dither_mode = JDITHER_FS;
      info.two_pass_quantize = FALSE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      ctx->Output = TOutput::Cmyk;
      info.out_color_space = JCS_CMYK;
      break;
    default:
      ctx->Output = TOutput::Colour;
      info.out_color_space = JCS_EXT_BGRA;
      break;
  }
  return true;
}

// Adobe's applications write CMYK with every byte inverted (0 means full ink) and mark the
// file with their APP14 marker; other writers store plain ink amounts.
inline TColor32 CmykToColor(unsigned c, unsigned m, unsigned y, unsigned k, bool inverted) {
  if (!inverted) {
    c = 255 - c;
    m = 255 - m;
    y = 255 - y;
    k = 255 - k;
  }
  // c, m, y, k now hold 255 minus the ink; each channel is (1 - ink) * (1 - black).
  auto mul = [](unsigned a, unsigned b) { return static_cast<std::uint8_t>((a * b + 127) / 255); };
  return Color32(mul(c, k), mul(m, k), mul(y, k));
}

// Decodes the pixels into the bitmap, which already has the picture's size. Returns false
// after a library error.
bool DecodePixelsStep(TDecodeContext* ctx, TBitmap32* bitmap, JSAMPLE* scratch) {
  if (setjmp(ctx->Error.Jump)) return false;
  jpeg_decompress_struct& info = ctx->Info;
  jpeg_start_decompress(&info);
  const JDIMENSION width = info.output_width;
  TColor32 greys[256] = {};
  if (ctx->Output == TOutput::Grey) {
    for (int i = 0; i < info.actual_number_of_colors; ++i) {
      const auto v = static_cast<std::uint8_t>(info.colormap[0][i]);
      greys[i] = Color32(v, v, v);
    }
  }
  const bool inverted = info.saw_Adobe_marker;
  while (info.output_scanline < info.output_height) {
    const auto y = static_cast<std::int32_t>(info.output_scanline);
    TColor32* row = bitmap->ScanLine(y);
    if (ctx->Output == TOutput::Colour) {
      // Straight into the bitmap: BGRA in memory is TColor32 with alpha 255.
      JSAMPROW rows[4];
      const JDIMENSION left = info.output_height - info.output_scanline;
      const JDIMENSION want = left < 4 ? left : 4;
      for (JDIMENSION i = 0; i < want; ++i) rows[i] = reinterpret_cast<JSAMPROW>(bitmap->ScanLine(y + static_cast<std::int32_t>(i)));
      jpeg_read_scanlines(&info, rows, want);
    } else {
      JSAMPROW rows[1] = {scratch};
      jpeg_read_scanlines(&info, rows, 1);
      if (ctx->Output == TOutput::Grey) {
        for (JDIMENSION x = 0; x < width; ++x) row[x] = greys[scratch[x]];
      } else {
        for (JDIMENSION x = 0; x < width; ++x) {
          const JSAMPLE* p = scratch + 4 * x;
          row[x] = CmykToColor(p[0], p[1], p[2], p[3], inverted);
        }
      }
    }
  }
  // A single-scan picture is complete with its last row; reading on to the end marker would
  // only read whatever follows it.
  if (jpeg_has_multiple_scans(&info)) jpeg_finish_decompress(&info);
  return true;
}

// The library's coefficient store for a file with several scans, which holds every block of
// every component until the last scan is in.
std::uint64_t CoefficientBytes(jpeg_decompress_struct& info) {
  if (!jpeg_has_multiple_scans(&info)) return 0;
  std::uint64_t bytes = 0;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& comp = info.comp_info[c];
    const auto roundUp = [](std::uint64_t n, std::uint64_t m) { return (n + m - 1) / m * m; };
    bytes += roundUp(comp.width_in_blocks, static_cast<std::uint64_t>(comp.h_samp_factor)) *
             roundUp(comp.height_in_blocks, static_cast<std::uint64_t>(comp.v_samp_factor)) * sizeof(JBLOCK);
  }
  return bytes;
}

[[noreturn]] void Fail(const TDecodeContext& ctx) {
  if (ctx.TooManyScans)
    throw EInvalidGraphic("The JPEG file has more than " + std::to_string(kMaxScans) +
                          " scans, more than any encoder writes, so it is refused");
  throw EJPEG(ctx.Error.Pub.msg_code, ctx.Error.Message);
}

}  // namespace

void DecodeJPEG(int fd, TBitmap32& bitmap) {
  TDecodeContext ctx;
  std::vector<JOCTET> input(kSourceBlock);
  ctx.Source.Fd = fd;
  ctx.Source.Buffer = input.data();
  ctx.Source.MaxRead = kMaxInputBase;
  if (!ReadHeaderStep(&ctx, TBitmap32::MaxPixelBytes())) Fail(ctx);

  const std::uint64_t pixels = std::uint64_t{ctx.Info.image_width} * ctx.Info.image_height;
  ctx.Source.MaxRead = kMaxInputBase + pixels * kMaxInputPerPixel;
  // Past the bitmap's own limit SetSize refuses with its message; below it, the whole step
  // must fit what the process may still use.
  if (pixels * sizeof(TColor32) <= TBitmap32::MaxPixelBytes())
    CheckMemoryFor(pixels * sizeof(TColor32) + CoefficientBytes(ctx.Info), "load the picture");
  bitmap.SetSize(static_cast<std::int32_t>(ctx.Info.image_width), static_cast<std::int32_t>(ctx.Info.image_height));
  std::vector<JSAMPLE> scratch;
  if (ctx.Output != TOutput::Colour) scratch.resize(std::size_t{ctx.Info.image_width} * 4);
  if (!DecodePixelsStep(&ctx, &bitmap, scratch.data())) {
    bitmap.SetSize(0, 0);  // no half-decoded picture stays behind
    Fail(ctx);
  }
}

}  // namespace mosaicer
