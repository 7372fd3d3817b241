#include "jpeg/JpgImg.h"

#include <algorithm>
#include <vector>

#include "jpeg/JpegError.h"
#include "runtime/Exceptions.h"

#include <jerror.h>

namespace mosaicer {

namespace {

// Output through a 4096-byte buffer; a stream that stores fewer bytes than asked is a write
// error, or, for a stream in memory, a failed allocation.
constexpr std::size_t kOutputBlock = 4096;

struct TDestination {
  jpeg_destination_mgr Pub;
  TStream* Stream;
  JOCTET Buffer[kOutputBlock];
};

void InitDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TDestination*>(cinfo->dest);
  dest->Pub.next_output_byte = dest->Buffer;
  dest->Pub.free_in_buffer = kOutputBlock;
}

void FailWrite(j_compress_ptr cinfo, const TStream* stream) {
  if (dynamic_cast<const TMemoryStream*>(stream)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  ERREXIT(cinfo, JERR_FILE_WRITE);
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TDestination*>(cinfo->dest);
  if (dest->Stream->Write(dest->Buffer, kOutputBlock) != kOutputBlock) FailWrite(cinfo, dest->Stream);
  dest->Pub.next_output_byte = dest->Buffer;
  dest->Pub.free_in_buffer = kOutputBlock;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TDestination*>(cinfo->dest);
  const std::size_t filled = kOutputBlock - dest->Pub.free_in_buffer;
  if (filled > 0 && dest->Stream->Write(dest->Buffer, filled) != filled) FailWrite(cinfo, dest->Stream);
}

struct TSettings {
  int Width, Height;
  J_DCT_METHOD Dct;
  bool GrayScale, Optimize, Progressive;
  int Quality;
  // The rows' byte order: blue, green, red, with or without a padding byte per pixel. The
  // library converts either with the same arithmetic, so both give the same file.
  J_COLOR_SPACE Layout;
  int Components;
};

struct TEncodeContext {
  jpeg_compress_struct Info {};
  TJpegErrorManager Error {};
  TDestination Destination {};

  // Safe on a zeroed or already destroyed object, so it can run on every path.
  void Destroy() { jpeg_destroy_compress(&Info); }
  ~TEncodeContext() { Destroy(); }
};

bool StartStep(TEncodeContext* ctx, const TSettings* s) {
  ctx->Info.err = SetUpErrorManager(ctx->Error, TJpegWarnings::Raise);
  if (setjmp(ctx->Error.Jump)) return false;
  jpeg_create_compress(&ctx->Info);
  jpeg_compress_struct& info = ctx->Info;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  // An empty bitmap has no rows to read.
  if (s->Width <= 0 || s->Height <= 0) ERREXIT(&info, JERR_INPUT_EOF);
  info.image_width = static_cast<JDIMENSION>(s->Width);
  info.image_height = static_cast<JDIMENSION>(s->Height);
  info.input_components = s->Components;
  info.in_color_space = s->Layout;
  // The bitmap carries no resolution: JFIF density stays 1 by 1 without unit.
  jpeg_default_colorspace(&info);
  if (s->GrayScale) jpeg_set_colorspace(&info, JCS_GRAYSCALE);
  info.dct_method = s->Dct;
  info.optimize_coding = s->Optimize ? TRUE : FALSE;
  jpeg_set_quality(&info, s->Quality, FALSE);
  if (s->Progressive) jpeg_simple_progression(&info);
  info.dest = &ctx->Destination.Pub;
  ctx->Destination.Pub.init_destination = InitDestination;
  ctx->Destination.Pub.empty_output_buffer = EmptyOutputBuffer;
  ctx->Destination.Pub.term_destination = TermDestination;
  jpeg_start_compress(&info, TRUE);
  return true;
}

bool WriteRowStep(TEncodeContext* ctx, JSAMPROW row) {
  if (setjmp(ctx->Error.Jump)) return false;
  jpeg_write_scanlines(&ctx->Info, &row, 1);
  return true;
}

bool FinishStep(TEncodeContext* ctx) {
  if (setjmp(ctx->Error.Jump)) return false;
  jpeg_finish_compress(&ctx->Info);
  return true;
}

[[noreturn]] void Fail(TEncodeContext& ctx) {
  ctx.Destroy();
  throw EJPEGException(ctx.Error.Message);
}

J_DCT_METHOD LibraryDct(TDCTMethod method) {
  switch (method) {
    case TDCTMethod::FastInteg: return JDCT_IFAST;
    case TDCTMethod::FloatingPoint: return JDCT_FLOAT;
    case TDCTMethod::Integ: break;
  }
  return JDCT_ISLOW;
}

// rowAt(y) gives row y of the picture in the settings' layout; progressed(percent) is told
// after each row.
template <typename RowAt, typename Progressed>
void Encode(const TSettings& settings, TStream* stream, RowAt rowAt, Progressed progressed) {
  TEncodeContext ctx;
  ctx.Destination.Stream = stream;
  if (!StartStep(&ctx, &settings)) Fail(ctx);
  const auto height = static_cast<std::int64_t>(settings.Height);
  while (ctx.Info.next_scanline < ctx.Info.image_height) {
    // The library only reads the rows it is given.
    auto* row = const_cast<JSAMPLE*>(rowAt(static_cast<std::int32_t>(ctx.Info.next_scanline)));
    if (!WriteRowStep(&ctx, row)) Fail(ctx);
    progressed(std::int64_t{ctx.Info.next_scanline} * 100 / height);
  }
  if (!FinishStep(&ctx)) Fail(ctx);
  ctx.Destroy();
}

}  // namespace

void TCustomJPEGImage::SetProgressStep(int step) { FProgressStep = static_cast<std::uint8_t>(std::clamp(step, 1, 100)); }

void TCustomJPEGImage::SaveToStream(TStream* stream) {
  if (!stream) return;
  const TSettings settings{FBitmap.Width(), FBitmap.Height(), LibraryDct(DCTMethod), GrayScale, !FastProcessing,
                           Progressive,     Quality,          JCS_EXT_BGR,          3};
  const TBitmap24& bitmap = FBitmap;
  std::int64_t lastPercent = 0;
  Encode(settings, stream, [&bitmap](std::int32_t y) { return bitmap.ScanLine(y); },
         [this, &lastPercent](std::int64_t percent) {
           if (percent != lastPercent && percent % FProgressStep == 0) {
             lastPercent = percent;
             if (OnProgress) OnProgress(*this);
           }
         });
}

void TCustomJPEGImage::SaveRectToStream(const TBitmap32& picture, const TRect& area, TStream* stream) {
  if (!stream) return;
  const TSettings settings{area.Width(), area.Height(), LibraryDct(DCTMethod), GrayScale, !FastProcessing,
                           Progressive,  Quality,       JCS_EXT_BGRX,         4};
  Encode(settings, stream, [&picture, &area](std::int32_t y) {
    return reinterpret_cast<const std::uint8_t*>(picture.ScanLine(area.Top + y) + area.Left);
  }, [](std::int64_t) {});
}

void TCustomJPEGImage::SaveToFile(const std::string& fileName) {
  TFileStream file(fileName);
  SaveToStream(&file);  // a failure leaves the stream unclosed, which discards its file
  if (!file.Close()) throw EJPEGException(LibraryMessage(JERR_FILE_WRITE));
}

void SaveEncodedToFile(const std::vector<std::uint8_t>& bytes, const std::string& fileName) {
  TFileStream file(fileName);
  bool written = true;
  for (std::size_t done = 0; written && done < bytes.size(); done += kOutputBlock) {
    const std::size_t block = std::min(kOutputBlock, bytes.size() - done);
    written = file.Write(bytes.data() + done, block) == block;
  }
  if (!file.Close()) throw EJPEGException(LibraryMessage(JERR_FILE_WRITE));
}

}  // namespace mosaicer
