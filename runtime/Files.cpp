#include "runtime/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "runtime/Exceptions.h"

namespace mosaicer {

TFileHandle::~TFileHandle() { Close(); }

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = other.FFd;
    other.FFd = -1;
  }
  return *this;
}

void TFileHandle::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

TFileHandle OpenFileForReading(const std::string& path, std::int64_t* size) {
  // O_NONBLOCK keeps a FIFO named like a picture from hanging the open; it has no effect on
  // regular files.
  TFileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.Valid()) throw EFOpenError(path, errno);
  struct stat st {};
  if (::fstat(file.Fd(), &st) != 0) throw EFOpenError(path, errno);
  if (S_ISDIR(st.st_mode)) throw EFOpenError(path, EISDIR);
  if (!S_ISREG(st.st_mode)) throw EFOpenError(path, EINVAL);
  if (size) *size = st.st_size;
  return file;
}

std::string ExpandFileName(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char buffer[PATH_MAX];
  if (!::getcwd(buffer, sizeof buffer)) return path;
  std::string result = buffer;
  if (result.back() != '/') result += '/';
  return result + path;
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

std::uint64_t HighResolutionCounter() {
  timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace mosaicer
