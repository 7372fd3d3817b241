// Byte streams the encoder writes into: a growing block of memory, or a file created for
// writing. File creation and writing pass through a seam that tests can make fail at call N.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Files.h"

namespace mosaicer {

// A sink for bytes. Write stores as many of the bytes as it can and returns that count; it never
// throws, so it may be called from inside a C library's callback.
class TStream {
public:
  virtual ~TStream() = default;
  virtual std::size_t Write(const void* data, std::size_t count) noexcept = 0;
};

class TMemoryStream : public TStream {
public:
  std::size_t Write(const void* data, std::size_t count) noexcept override;
  const std::vector<std::uint8_t>& Bytes() const { return FBytes; }

private:
  std::vector<std::uint8_t> FBytes;
};

class TFileStream : public TStream {
public:
  // Creates path, or empties it if it exists, for writing. Fails with EFCreateError carrying
  // the path made absolute and the system's text.
  explicit TFileStream(const std::string& path);

  // Retries interrupted and partial writes; returns fewer bytes than asked only on failure.
  std::size_t Write(const void* data, std::size_t count) noexcept override;

  // False when the system reports a failure while closing (a delayed write error).
  bool Close();
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
  TFileHandle FFile;
};

// Removes a file; false if it could not be removed.
bool DeleteFile(const std::string& path);

// The seam. Calls are counted from the last Reset(): FailCreateAt(3, EACCES) makes the third
// file creation fail with EACCES; FailWriteAt(n, ENOSPC) makes the n-th write call store nothing
// and fail. 0 turns a fault off. DelayCreates(ms) makes every file creation wait that long first,
// as on a slow disk.
namespace FileSeam {
void Reset();
void FailCreateAt(int call, int error);
void FailWriteAt(int call, int error);
void DelayCreates(int milliseconds);
int CreateCalls();
int WriteCalls();
}  // namespace FileSeam

}  // namespace mosaicer
