#include "runtime/Bitmap32.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "runtime/Canvas.h"
#include "runtime/Exceptions.h"
#include "runtime/Resample.h"

namespace mosaicer {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMaxPixelBytesCap = std::size_t{4} << 30;
std::size_t gMaxPixelBytesOverride = 0;

}  // namespace

bool TPixelBuffer::Allocate(std::size_t bytes) {
  Release();
  if (bytes == 0) return true;
  if (bytes < kHugePage) {
    FData = ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    return FData != nullptr;
  }
  // Over-map by one huge page so the block can start on a 2 MiB boundary, then hand back the
  // slack on both sides.
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  const std::size_t mapped = rounded + kHugePage;
  void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  auto* start = static_cast<char*>(mapping);
  auto* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1));
  if (aligned > start) munmap(start, static_cast<std::size_t>(aligned - start));
  char* end = aligned + rounded;
  if (start + mapped > end) munmap(end, static_cast<std::size_t>(start + mapped - end));
  madvise(aligned, rounded, MADV_HUGEPAGE);
  FMapping = aligned;
  FMappingBytes = rounded;
  FData = aligned;
  return true;
}

void TPixelBuffer::Release() {
  if (FMapping) {
    munmap(FMapping, FMappingBytes);
  } else if (FData) {
    ::operator delete(FData, std::align_val_t{64});
  }
  FData = nullptr;
  FMapping = nullptr;
  FMappingBytes = 0;
}

std::size_t TBitmap32::MaxPixelBytes() {
  if (gMaxPixelBytesOverride) return gMaxPixelBytesOverride;
  static const std::size_t limit = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return kMaxPixelBytesCap;
    const std::size_t physical = static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize);
    return std::min(physical / 2, kMaxPixelBytesCap);
  }();
  return limit;
}

void TBitmap32::SetMaxPixelBytes(std::size_t bytes) { gMaxPixelBytesOverride = bytes; }

namespace {

struct TProcessMemory {
  std::uint64_t Resident = 0;
  std::uint64_t AddressSpace = 0;
  std::uint64_t Data = 0;
};

// The kernel's own account of this process, in bytes.
TProcessMemory ProcessMemory() {
  TProcessMemory use;
  std::ifstream status("/proc/self/status");
  std::string key;
  std::uint64_t kib = 0;
  while (status >> key) {
    if (key == "VmRSS:" || key == "VmSize:" || key == "VmData:") {
      if (!(status >> kib)) break;
      (key == "VmRSS:" ? use.Resident : key == "VmSize:" ? use.AddressSpace : use.Data) = kib * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return use;
}

std::uint64_t Left(std::uint64_t limit, std::uint64_t used) { return limit > used ? limit - used : 0; }

}  // namespace

std::uint64_t AvailableMemory() {
  const TProcessMemory use = ProcessMemory();
  std::uint64_t available = UINT64_MAX;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0)
    available = Left(static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 2, use.Resident);
  rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    available = std::min(available, Left(limit.rlim_cur, use.AddressSpace));
  if (getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    available = std::min(available, Left(limit.rlim_cur, use.Data));
  return available;
}

void CheckMemoryFor(std::uint64_t bytes, const char* step) {
  const std::uint64_t available = AvailableMemory();
  if (bytes <= available) return;
  constexpr std::uint64_t kMiB = 1 << 20;
  throw EOutOfMemory(std::string("Not enough memory to ") + step + ": it needs " + std::to_string((bytes + kMiB - 1) / kMiB) +
                     " MiB, and only " + std::to_string(available / kMiB) + " MiB are free for it");
}

TBitmap32::TBitmap32() = default;
TBitmap32::~TBitmap32() = default;

TCanvas& TBitmap32::Canvas() {
  if (!FCanvas) FCanvas = std::make_unique<TCanvas>(*this);
  return *FCanvas;
}

void TBitmap32::SetSize(std::int32_t width, std::int32_t height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == FWidth && height == FHeight) return;
  ++FChangeStamp;
  FPixels.Release();
  FBits = nullptr;
  FWidth = 0;
  FHeight = 0;
  if (width == 0 || height == 0) return;
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * sizeof(TColor32);
  if (bytes > MaxPixelBytes() || !FPixels.Allocate(bytes)) throw Exception(kAllocateDIBText);
  FBits = static_cast<TColor32*>(FPixels.Data());
  FWidth = width;
  FHeight = height;
}

void TBitmap32::Fill(TColor32 c) {
  std::fill_n(Bits(), static_cast<std::size_t>(FWidth) * static_cast<std::size_t>(FHeight), c);
}

TCopyClip ClipCopy(const TRect& dst, const TRect& src, std::int32_t targetWidth, std::int32_t targetHeight,
                   std::int32_t sourceWidth, std::int32_t sourceHeight) {
  // Clip the source rectangle to the source bitmap, carry that to the destination, then clip
  // the destination to the target and carry that back. Sums are 64-bit so that rectangles far
  // outside cannot overflow; what is left lies inside both bitmaps and fits 32 bits again.
  const std::int64_t dx = std::int64_t{dst.Left} - src.Left;
  const std::int64_t dy = std::int64_t{dst.Top} - src.Top;
  const std::int64_t left = std::max<std::int64_t>({src.Left, 0, -dx});
  const std::int64_t top = std::max<std::int64_t>({src.Top, 0, -dy});
  const std::int64_t right = std::min<std::int64_t>({src.Right, sourceWidth, targetWidth - dx});
  const std::int64_t bottom = std::min<std::int64_t>({src.Bottom, sourceHeight, targetHeight - dy});
  TCopyClip clip;
  if (left >= right || top >= bottom) return clip;
  clip.Source = {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), static_cast<std::int32_t>(right),
                 static_cast<std::int32_t>(bottom)};
  clip.Dx = static_cast<std::int32_t>(dx);
  clip.Dy = static_cast<std::int32_t>(dy);
  return clip;
}

void TBitmap32::Draw(const TRect& dst, const TRect& src, const TBitmap32& source) {
  if (Empty() || source.Empty()) return;
  if (dst.Width() != src.Width() || dst.Height() != src.Height()) {
    DrawStretched(dst, src, source);
    return;
  }
  const TCopyClip clip = ClipCopy(dst, src, Width(), Height(), source.Width(), source.Height());
  if (clip.Empty()) return;
  const auto count = static_cast<std::size_t>(clip.Source.Width());
  for (std::int32_t y = clip.Source.Top; y < clip.Source.Bottom; ++y) {
    const TColor32* from = source.ScanLine(y) + clip.Source.Left;
    TColor32* to = ScanLine(y + clip.Dy) + (clip.Source.Left + clip.Dx);
    std::memmove(to, from, count * sizeof(TColor32));
  }
}

void TBitmap32::DrawStretched(const TRect& dst, const TRect& src, const TBitmap32& source) {
  if (dst.Width() <= 0 || dst.Height() <= 0 || src.Width() <= 0 || src.Height() <= 0) return;
  // Cut the source rectangle to the source bitmap and move the destination's edges by the same
  // share of its size, so that what is drawn stays where the whole rectangle would put it.
  const TRect cut{std::max(src.Left, 0), std::max(src.Top, 0), std::min(src.Right, source.Width()),
                  std::min(src.Bottom, source.Height())};
  if (cut.Left >= cut.Right || cut.Top >= cut.Bottom) return;
  auto carry = [](std::int32_t edge, std::int32_t from, std::int32_t fromSize, std::int32_t to, std::int32_t toSize) {
    return static_cast<std::int32_t>(to + (std::int64_t{edge} - from) * toSize / fromSize);
  };
  TRect to = dst;
  if (cut != src) {
    to.Left = carry(cut.Left, src.Left, src.Width(), dst.Left, dst.Width());
    to.Right = carry(cut.Right, src.Left, src.Width(), dst.Left, dst.Width());
    to.Top = carry(cut.Top, src.Top, src.Height(), dst.Top, dst.Height());
    to.Bottom = carry(cut.Bottom, src.Top, src.Height(), dst.Top, dst.Height());
    if (to.Left >= to.Right || to.Top >= to.Bottom) return;
  }
  if (source.StretchFilter == sfLanczos) LanczosDraw(*this, to, source, cut);
  else NearestDraw(*this, to, source, cut);
}

}  // namespace mosaicer
