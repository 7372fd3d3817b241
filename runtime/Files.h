// Thin file-system helpers over POSIX calls.
#pragma once

#include <cstdint>
#include <string>

namespace mosaicer {

// An open file descriptor, closed when it goes out of scope.
class TFileHandle {
public:
  TFileHandle() = default;
  explicit TFileHandle(int fd) : FFd(fd) {}
  ~TFileHandle();
  TFileHandle(TFileHandle&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TFileHandle& operator=(TFileHandle&& other) noexcept;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  int Fd() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  void Close();
  // Gives up ownership: returns the descriptor and leaves this handle empty.
  int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }

private:
  int FFd = -1;
};

// Opens a regular file for reading. Anything else (a missing file, a directory, a device, a
// pipe) fails with EFOpenError and the system's text. Never blocks on a pipe.
TFileHandle OpenFileForReading(const std::string& path, std::int64_t* size = nullptr);


// The path made absolute against the current directory, without touching the file system
// beyond asking for the current directory.
std::string ExpandFileName(const std::string& path);

// True if path names an existing directory (or a link to one).
bool DirectoryExists(const std::string& path);

// Creates one directory level; false if it could not be created.
bool CreateDir(const std::string& path);

// A reading of a high-resolution clock that differs from run to run.
std::uint64_t HighResolutionCounter();

}  // namespace mosaicer
