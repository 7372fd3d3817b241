// The JPEG fragment encoder: a plain object that owns a 24-bit bitmap and the encoding
// settings, and writes that bitmap as a JFIF file through libjpeg.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/Bitmap24.h"
#include "runtime/FileStream.h"

namespace mosaicer {

enum class TNumOfColors : std::uint8_t { _16, _256, TrueColor };
enum class TDCTMethod : std::uint8_t { Integ, FastInteg, FloatingPoint };
enum class TDither : std::uint8_t { None, FS, Ordered };

class TCustomJPEGImage;
using TNotifyEvent = std::function<void(TCustomJPEGImage& sender)>;

class TCustomJPEGImage {
public:
  TCustomJPEGImage() = default;
  virtual ~TCustomJPEGImage() = default;
  TCustomJPEGImage(const TCustomJPEGImage&) = delete;
  TCustomJPEGImage& operator=(const TCustomJPEGImage&) = delete;

  // The picture to encode. Changing a setting never touches it.
  TBitmap24& Bitmap() { return FBitmap; }
  const TBitmap24& Bitmap() const { return FBitmap; }

  // Encodes the bitmap into stream; nothing happens without a stream. A library error or
  // warning raises EJPEGException with the library's message, after the compression object was
  // destroyed; an empty bitmap fails with "Premature end of input file".
  void SaveToStream(TStream* stream);

  // Encodes the rectangle area of picture, which must lie inside it, with these settings,
  // reading the picture's own rows (blue, green, red, padding) without copying them: the same
  // bytes SaveToStream writes for a 24-bit bitmap of those pixels. Failures as SaveToStream;
  // OnProgress is not told.
  void SaveRectToStream(const TBitmap32& picture, const TRect& area, TStream* stream);

  // Encodes into a file published whole (TFileStream, links under the name replaced). A file
  // that cannot be created fails with EFCreateError before any encoding; when encoding or
  // writing fails nothing is published, so no broken file stays and an old one is untouched.
  void SaveToFile(const std::string& fileName);

  // Settings used while encoding.
  TDCTMethod DCTMethod = TDCTMethod::Integ;
  bool FastProcessing = false;  // standard Huffman tables instead of optimised ones
  bool GrayScale = false;
  std::uint8_t Quality = 75;  // 0 to 100; the library reads 0 as 1
  bool Progressive = false;
  TNotifyEvent OnProgress;

  // Progress is reported every ProgressStep percent of rows written; 1 to 100, values outside
  // are brought into that range (0 would divide by zero).
  std::uint8_t ProgressStep() const { return FProgressStep; }
  void SetProgressStep(int step);

  // Settings of the decoding side, which this system never uses; kept so the settings are
  // complete.
  TNumOfColors NumOfColors = TNumOfColors::_256;
  TDither Dither = TDither::FS;
  bool NoSmooth = false;
  bool OnePass = false;

protected:
  std::string FFileName;

private:
  TBitmap24 FBitmap;
  std::uint8_t FProgressStep = 10;
};

// Writes what SaveToStream produced into a file as SaveToFile would have: the file is published
// whole (TFileStream, links under the name replaced), written in the encoder's own blocks; a file
// that cannot be created fails with EFCreateError, a failed write leaves the old file.
void SaveEncodedToFile(const std::vector<std::uint8_t>& bytes, const std::string& fileName);

class TJPEGImage : public TCustomJPEGImage {
public:
  // The file whose data a decoding picture would hold; stored only.
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& name) { FFileName = name; }
};

}  // namespace mosaicer
