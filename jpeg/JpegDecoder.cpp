#include "jpeg/JpegDecoder.h"

#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "runtime/Exceptions.h"

namespace mosaicer {

namespace {

// libjpeg reports errors by calling error_exit, which must not return. It jumps back to the
// setjmp of the short C-style step that called into the library; that step returns false and
// its C++ caller throws. No C++ object with a destructor lives in a frame that is jumped over.
struct TErrorManager {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
};

void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TErrorManager*>(cinfo->err);
  std::longjmp(err->Jump, 1);
}

void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}

// Reads the file in blocks; at its end it inserts an end-of-image marker, so a file that stops
// inside the picture data decodes as far as it goes.
constexpr std::size_t kSourceBlock = 64 * 1024;

struct TSourceManager {
  jpeg_source_mgr Pub;
  int Fd;
  JOCTET* Buffer;
  bool AtStart;
};

void InitSource(j_decompress_ptr cinfo) {
  reinterpret_cast<TSourceManager*>(cinfo->src)->AtStart = true;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<TSourceManager*>(cinfo->src);
  ssize_t got;
  do {
    got = ::read(src->Fd, src->Buffer, kSourceBlock);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (src->AtStart) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->Buffer[0] = 0xFF;
    src->Buffer[1] = JPEG_EOI;
    got = 2;
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
  }
  src->Pub.next_input_byte += count;
  src->Pub.bytes_in_buffer -= static_cast<std::size_t>(count);
}

void TermSource(j_decompress_ptr) {}

enum class TOutput { Colour, Grey, Cmyk };

struct TDecodeContext {
  jpeg_decompress_struct Info {};
  TErrorManager Error {};
  TSourceManager Source {};
  bool Created = false;
  TOutput Output = TOutput::Colour;

  ~TDecodeContext() {
    if (Created) jpeg_destroy_decompress(&Info);
  }
};

// Header and decoding settings. Returns false after a library error.
bool ReadHeaderStep(TDecodeContext* ctx, std::size_t memoryLimit) {
  ctx->Info.err = jpeg_std_error(&ctx->Error.Pub);
  ctx->Error.Pub.error_exit = ErrorExit;
  ctx->Error.Pub.emit_message = EmitMessage;
  ctx->Error.Pub.output_message = OutputMessage;
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
  jpeg_finish_decompress(&info);
  return true;
}

}  // namespace

void DecodeJPEG(int fd, TBitmap32& bitmap) {
  TDecodeContext ctx;
  std::vector<JOCTET> input(kSourceBlock);
  ctx.Source.Fd = fd;
  ctx.Source.Buffer = input.data();
  if (!ReadHeaderStep(&ctx, TBitmap32::MaxPixelBytes())) throw EJPEG(ctx.Error.Pub.msg_code);

  bitmap.SetSize(static_cast<std::int32_t>(ctx.Info.image_width), static_cast<std::int32_t>(ctx.Info.image_height));
  std::vector<JSAMPLE> scratch;
  if (ctx.Output != TOutput::Colour) scratch.resize(std::size_t{ctx.Info.image_width} * 4);
  if (!DecodePixelsStep(&ctx, &bitmap, scratch.data())) {
    const int code = ctx.Error.Pub.msg_code;
    bitmap.SetSize(0, 0);  // no half-decoded picture stays behind
    throw EJPEG(code);
  }
}

}  // namespace mosaicer
