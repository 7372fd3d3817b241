#include "jpeg/JpgImg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "runtime/Exceptions.h"

namespace mosaicer {

namespace {

// Every library error and every warning ends the encoding: the message is formatted from the
// library's table and error_exit jumps back to the setjmp of the short C-style step that called
// into the library. No C++ object with a destructor lives in a frame that is jumped over.
struct TErrorManager {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->Message);
  std::longjmp(err->Jump, 1);
}

void EmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0) ErrorExit(cinfo);  // a warning; higher levels are trace output
}

void OutputMessage(j_common_ptr) {}

// Output through a 4096-byte buffer; a stream that stores fewer bytes than asked is a write
// error.
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

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TDestination*>(cinfo->dest);
  if (dest->Stream->Write(dest->Buffer, kOutputBlock) != kOutputBlock) ERREXIT(cinfo, JERR_FILE_WRITE);
  dest->Pub.next_output_byte = dest->Buffer;
  dest->Pub.free_in_buffer = kOutputBlock;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TDestination*>(cinfo->dest);
  const std::size_t filled = kOutputBlock - dest->Pub.free_in_buffer;
  if (filled > 0 && dest->Stream->Write(dest->Buffer, filled) != filled) ERREXIT(cinfo, JERR_FILE_WRITE);
}

struct TSettings {
  int Width, Height;
  J_DCT_METHOD Dct;
  bool GrayScale, Optimize, Progressive;
  int Quality;
};

struct TEncodeContext {
  jpeg_compress_struct Info {};
  TErrorManager Error {};
  TDestination Destination {};

  // Safe on a zeroed or already destroyed object, so it can run on every path.
  void Destroy() { jpeg_destroy_compress(&Info); }
  ~TEncodeContext() { Destroy(); }
};

bool StartStep(TEncodeContext* ctx, const TSettings* s) {
  ctx->Info.err = jpeg_std_error(&ctx->Error.Pub);
  ctx->Error.Pub.error_exit = ErrorExit;
  ctx->Error.Pub.emit_message = EmitMessage;
  ctx->Error.Pub.output_message = OutputMessage;
  if (setjmp(ctx->Error.Jump)) return false;
  jpeg_create_compress(&ctx->Info);
  jpeg_compress_struct& info = ctx->Info;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  // An empty bitmap has no rows to read.
  if (s->Width <= 0 || s->Height <= 0) ERREXIT(&info, JERR_INPUT_EOF);
  info.image_width = static_cast<JDIMENSION>(s->Width);
  info.image_height = static_cast<JDIMENSION>(s->Height);
  info.input_components = 3;
#ifdef JCS_EXTENSIONS
  info.in_color_space = JCS_EXT_BGR;  // the bitmap's own byte order, converted by the library
#else
  info.in_color_space = JCS_RGB;
#endif
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

// The library's own text for a message code.
std::string LibraryMessage(int code) {
  jpeg_error_mgr mgr {};
  jpeg_std_error(&mgr);
  jpeg_common_struct common {};
  common.err = &mgr;
  mgr.msg_code = code;
  char text[JMSG_LENGTH_MAX];
  (*mgr.format_message)(&common, text);
  return text;
}

}  // namespace

void TCustomJPEGImage::SetProgressStep(int step) { FProgressStep = static_cast<std::uint8_t>(std::clamp(step, 1, 100)); }

void TCustomJPEGImage::SaveToStream(TStream* stream) {
  if (!stream) return;
  TEncodeContext ctx;
  ctx.Destination.Stream = stream;
  const TSettings settings{FBitmap.Width(), FBitmap.Height(), LibraryDct(DCTMethod), GrayScale,
                           !FastProcessing,  Progressive,      Quality};
  if (!StartStep(&ctx, &settings)) Fail(ctx);

#ifndef JCS_EXTENSIONS
  std::vector<JSAMPLE> rgb(FBitmap.Stride());
#endif
  const auto height = static_cast<std::int64_t>(FBitmap.Height());
  std::int64_t lastPercent = 0;
  while (ctx.Info.next_scanline < ctx.Info.image_height) {
    const auto y = static_cast<std::int32_t>(ctx.Info.next_scanline);
    auto* row = const_cast<JSAMPLE*>(FBitmap.ScanLine(y));
#ifndef JCS_EXTENSIONS
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      rgb[i] = row[i + 2];
      rgb[i + 1] = row[i + 1];
      rgb[i + 2] = row[i];
    }
    row = rgb.data();
#endif
    if (!WriteRowStep(&ctx, row)) Fail(ctx);
    const std::int64_t percent = std::int64_t{ctx.Info.next_scanline} * 100 / height;
    if (percent != lastPercent && percent % FProgressStep == 0) {
      lastPercent = percent;
      if (OnProgress) OnProgress(*this);
    }
  }
  if (!FinishStep(&ctx)) Fail(ctx);
  ctx.Destroy();
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
