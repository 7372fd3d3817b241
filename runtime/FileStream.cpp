#include "runtime/FileStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "runtime/Exceptions.h"

namespace mosaicer {

namespace {

struct TSeam {
  int Creates = 0;
  int Writes = 0;
  int FailCreate = 0;
  int CreateError = 0;
  int FailWrite = 0;
  int WriteError = 0;
  int CreateDelay = 0;
};

TSeam Seam;

int SeamCreate(const char* path) {
  if (Seam.CreateDelay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Seam.CreateDelay));
  if (++Seam.Creates == Seam.FailCreate) {
    errno = Seam.CreateError;
    return -1;
  }
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
}

ssize_t SeamWrite(int fd, const void* data, std::size_t count) {
  if (++Seam.Writes == Seam.FailWrite) {
    errno = Seam.WriteError;
    return -1;
  }
  return ::write(fd, data, count);
}

}  // namespace

namespace FileSeam {
void Reset() { Seam = {}; }
void FailCreateAt(int call, int error) {
  Seam.FailCreate = call ? Seam.Creates + call : 0;
  Seam.CreateError = error;
}
void FailWriteAt(int call, int error) {
  Seam.FailWrite = call ? Seam.Writes + call : 0;
  Seam.WriteError = error;
}
void DelayCreates(int milliseconds) { Seam.CreateDelay = milliseconds; }
int CreateCalls() { return Seam.Creates; }
int WriteCalls() { return Seam.Writes; }
}  // namespace FileSeam

std::size_t TMemoryStream::Write(const void* data, std::size_t count) noexcept {
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    FBytes.insert(FBytes.end(), bytes, bytes + count);
    return count;
  } catch (...) {
    return 0;
  }
}

TFileStream::TFileStream(const std::string& path) : FPath(path) {
  FFile = TFileHandle(SeamCreate(path.c_str()));
  if (!FFile.Valid()) throw EFCreateError(ExpandFileName(path), errno);
}

std::size_t TFileStream::Write(const void* data, std::size_t count) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < count && FFile.Valid()) {
    const ssize_t n = SeamWrite(FFile.Fd(), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool TFileStream::Close() {
  if (!FFile.Valid()) return true;
  const int fd = FFile.Release();
  return ::close(fd) == 0;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace mosaicer
