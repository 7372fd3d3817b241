// The 32-bit bitmap that holds the picture, its preview and every fragment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mosaicer {

// Alpha in the top byte, then red, green, blue in the low byte; in memory on a little-endian
// machine a pixel reads B, G, R, A.
using TColor32 = std::uint32_t;

constexpr TColor32 Color32(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255) {
  return (TColor32{a} << 24) | (TColor32{r} << 16) | (TColor32{g} << 8) | TColor32{b};
}
constexpr std::uint8_t AlphaOf(TColor32 c) { return static_cast<std::uint8_t>(c >> 24); }
constexpr std::uint8_t RedOf(TColor32 c) { return static_cast<std::uint8_t>(c >> 16); }
constexpr std::uint8_t GreenOf(TColor32 c) { return static_cast<std::uint8_t>(c >> 8); }
constexpr std::uint8_t BlueOf(TColor32 c) { return static_cast<std::uint8_t>(c); }

// Right and bottom are exclusive.
struct TRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;

  constexpr std::int32_t Width() const { return Right - Left; }
  constexpr std::int32_t Height() const { return Bottom - Top; }
  friend constexpr bool operator==(const TRect&, const TRect&) = default;
};

// The part of an equal-size copy of src (in a bitmap of sourceWidth x sourceHeight) to dst (in
// a bitmap of targetWidth x targetHeight) that lies inside both bitmaps: the source rectangle
// to copy and the offset that carries it to the destination. Empty when nothing does.
struct TCopyClip {
  TRect Source;
  std::int32_t Dx = 0;
  std::int32_t Dy = 0;
  bool Empty() const { return Source.Left >= Source.Right || Source.Top >= Source.Bottom; }
};
TCopyClip ClipCopy(const TRect& dst, const TRect& src, std::int32_t targetWidth, std::int32_t targetHeight,
                   std::int32_t sourceWidth, std::int32_t sourceHeight);

// Only Lanczos is ever asked for; a bitmap left at nearest neighbour is drawn that way.
enum TStretchFilter { sfNearest, sfLanczos };
enum TDrawMode { dmOpaque, dmBlend };

// Owns a block of pixel memory. Large blocks are mapped 2 MiB-aligned and asked for huge
// pages: first touch of a fresh 4 KiB page costs far more than decoding into it.
class TPixelBuffer {
public:
  TPixelBuffer() = default;
  ~TPixelBuffer() { Release(); }
  TPixelBuffer(const TPixelBuffer&) = delete;
  TPixelBuffer& operator=(const TPixelBuffer&) = delete;

  // Returns false, holding nothing, when the memory cannot be had.
  bool Allocate(std::size_t bytes);
  void Release();
  void* Data() const { return FData; }

private:
  void* FData = nullptr;
  void* FMapping = nullptr;
  std::size_t FMappingBytes = 0;
};

// What the process may still allocate for one large step (loading, preview, save): the least
// of half the physical memory less what the process has resident, the RLIMIT_AS soft limit
// less its address space, and the RLIMIT_DATA soft limit less its data segment.
std::uint64_t AvailableMemory();

// Refuses a step that needs more than AvailableMemory() with EOutOfMemory, before anything is
// allocated; step names it ("load the picture").
void CheckMemoryFor(std::uint64_t bytes, const char* step);

class TCanvas;

class TBitmap32 {
public:
  TBitmap32();
  ~TBitmap32();
  TBitmap32(const TBitmap32&) = delete;
  TBitmap32& operator=(const TBitmap32&) = delete;

  std::int32_t Width() const { return FWidth; }
  std::int32_t Height() const { return FHeight; }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }

  // Negative sides count as 0; the same size keeps the pixels; any other size drops them and
  // makes new storage whose content is undefined. A size whose pixels would pass
  // MaxPixelBytes(), or that cannot be allocated, leaves the bitmap empty and throws
  // "Can't allocate the DIB handle" before anything is allocated.
  void SetSize(std::int32_t width, std::int32_t height);

  // Every way to write the pixels counts as a change (see ChangeStamp), so read through a
  // const bitmap where nothing is written.
  TColor32* Bits() {
    ++FChangeStamp;
    return FBits;
  }
  const TColor32* Bits() const { return FBits; }
  TColor32* ScanLine(std::int32_t y) {
    ++FChangeStamp;
    return FBits + static_cast<std::size_t>(y) * static_cast<std::size_t>(FWidth);
  }
  const TColor32* ScanLine(std::int32_t y) const {
    return FBits + static_cast<std::size_t>(y) * static_cast<std::size_t>(FWidth);
  }
  TColor32 Pixel(std::int32_t x, std::int32_t y) const { return ScanLine(y)[x]; }
  void SetPixel(std::int32_t x, std::int32_t y, TColor32 c) { ScanLine(y)[x] = c; }
  void Fill(TColor32 c);

  // Copies the source rectangle of source into the destination rectangle of this bitmap,
  // clipped to this bitmap; a source rectangle reaching outside source is cut to it, and the
  // destination in proportion. Equal sizes copy exactly; other sizes are resampled with
  // source's StretchFilter (sfLanczos exactly, sfNearest as nearest neighbour). Nothing
  // happens when either bitmap or either rectangle is empty.
  void Draw(const TRect& dst, const TRect& src, const TBitmap32& source);

  // The drawing canvas over these pixels, made on first use and kept while the bitmap lives;
  // while the bitmap is empty it has no surface.
  TCanvas& Canvas();

  // Grows with every access that may change the pixels or the size: a cache of something
  // computed from the pixels is still good while the stamp is the one it was made at. It is 0
  // only before the bitmap first had pixels, so a cache may use 0 for "made from nothing".
  std::uint64_t ChangeStamp() const { return FChangeStamp; }

  TStretchFilter StretchFilter = sfNearest;
  TDrawMode DrawMode = dmOpaque;
  std::uint8_t MasterAlpha = 255;

  // The most pixel memory one bitmap may hold: half of the machine's physical memory, and
  // never more than 4 GiB (one gigapixel). Past that a picture cannot be worked on anyway, and
  // refusing it up front keeps the process from being killed for want of memory.
  static std::size_t MaxPixelBytes();
  // Lowers (or, with 0, restores) the limit for the rest of the process: fuzzers use it to keep
  // every input cheap.
  static void SetMaxPixelBytes(std::size_t bytes);

private:
  void DrawStretched(const TRect& dst, const TRect& src, const TBitmap32& source);

  TPixelBuffer FPixels;
  TColor32* FBits = nullptr;
  std::int32_t FWidth = 0;
  std::int32_t FHeight = 0;
  std::uint64_t FChangeStamp = 0;
  std::unique_ptr<TCanvas> FCanvas;
};

}  // namespace mosaicer
