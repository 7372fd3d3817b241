#include "runtime/FileStream.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
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
  int SlowWrites = 0;
};

TSeam Seam;

int SeamCreate(const char* path, int flags) {
  if (++Seam.Creates == Seam.FailCreate) {
    errno = Seam.CreateError;
    return -1;
  }
  return ::open(path, flags, 0666);
}

ssize_t SeamWrite(int fd, const void* data, std::size_t count) {
  if (++Seam.Writes == Seam.FailWrite) {
    errno = Seam.WriteError;
    return -1;
  }
  if (Seam.SlowWrites > 0) std::this_thread::sleep_for(std::chrono::microseconds(Seam.SlowWrites));
  return ::write(fd, data, count);
}

// The temporary file a signal handler must remove: a fixed buffer, since the handler may not
// allocate. Only the writing thread changes it, with the termination signals held back.
char PendingPath[PATH_MAX + 64];
std::atomic<const TFileStream*> PendingOwner{nullptr};
std::atomic<std::int64_t> Published{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

void RegisterPending(const TFileStream* owner, const std::string& path) {
  PendingOwner.store(nullptr);
  // A cut path could name another file; one this long cannot be created anyway.
  if (path.size() >= sizeof PendingPath) return;
  std::memcpy(PendingPath, path.c_str(), path.size() + 1);
  PendingOwner.store(owner);
}

void UnregisterPending(const TFileStream* owner) {
  const TFileStream* expected = owner;
  PendingOwner.compare_exchange_strong(expected, nullptr);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

// True for a link that lives in /proc (reached as /dev/stdout, /dev/fd/1 or directly): it names
// an open file of some process rather than a place in a folder.
bool InProc(const std::string& link) {
  const std::string folder = FolderOf(link);
  char real[PATH_MAX];
  if (!::realpath(folder.empty() ? "." : folder.c_str(), real)) return false;
  return std::strncmp(real, "/proc/", 6) == 0;
}

// The file a chain of symbolic links ends at (which need not exist yet). A link in /proc is
// reported and not followed.
std::string FollowLinks(const std::string& path, bool& throughProc) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    if (InProc(current)) {
      throughProc = true;
      return path;
    }
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return current;
    std::string link(buffer, static_cast<std::size_t>(n));
    current = link.front() == '/' ? link : FolderOf(current) + link;
  }
  return current;  // a loop: the rename onto it then fails with ELOOP
}

// Six random characters for a temporary name. Not the document's generator, whose sequence a
// seed fixes.
std::string RandomSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x = HighResolutionCounter() ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^ (counter++ * 0x9E3779B97F4A7C15u);
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s(6, ' ');
  for (char& c : s) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDu;
    x ^= x >> 29;
    c = kChars[x % 62];
  }
  return s;
}

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
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
void SlowWritesBy(int microseconds) { Seam.SlowWrites = microseconds; }
int CreateCalls() { return Seam.Creates; }
int WriteCalls() { return Seam.Writes; }
}  // namespace FileSeam

TTerminationSignalsBlocked::TTerminationSignalsBlocked() {
  const sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, &FPrevious);
}

TTerminationSignalsBlocked::~TTerminationSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr); }

void RemovePendingTemporaryFile() noexcept {
  if (PendingOwner.load()) ::unlink(PendingPath);
}

std::int64_t PublishedFiles() noexcept { return Published.load(); }

std::size_t TMemoryStream::Write(const void* data, std::size_t count) noexcept {
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    FBytes.insert(FBytes.end(), bytes, bytes + count);
    return count;
  } catch (...) {
    return 0;
  }
}

TFileStream::TFileStream(const std::string& path, TLinkPolicy links) : FPath(path), FTarget(path) {
  bool throughProc = false;
  if (links == TLinkPolicy::Follow) FTarget = FollowLinks(path, throughProc);
  // Under Replace whatever is at the name (a FIFO included) is renamed over; only a path the
  // user gave is written straight when it is not a regular file.
  struct stat st {};
  const bool exists = links == TLinkPolicy::Follow ? ::stat(path.c_str(), &st) == 0 : ::lstat(path.c_str(), &st) == 0;
  if (links == TLinkPolicy::Follow && (throughProc || (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)))) {
    // Written straight, as a stream; appending keeps what a shell's ">>" or earlier output put
    // in a regular file reached through /proc.
    FFile = TFileHandle(SeamCreate(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY));
    if (!FFile.Valid()) throw EFCreateError(ExpandFileName(path), errno);
    return;
  }
  // A folder under the name: refused here, not by a rename after all the work.
  if (exists && S_ISDIR(st.st_mode)) throw EFCreateError(ExpandFileName(path), EISDIR);

  const std::string folder = FolderOf(FTarget);
  const std::string name = FTarget.substr(folder.size());
  const TTerminationSignalsBlocked held;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = folder + "." + name + "." + RandomSuffix();
    // Registered before it exists, so that no moment has the file without its record.
    RegisterPending(this, temporary);
    const int fd = SeamCreate(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      FFile = TFileHandle(fd);
      FTemporary = std::move(temporary);
      return;
    }
    const int error = errno;
    UnregisterPending(this);
    if (error != EEXIST) throw EFCreateError(ExpandFileName(path), error);
  }
  throw EFCreateError(ExpandFileName(path), EEXIST);
}

TFileStream::~TFileStream() { Discard(); }

std::size_t TFileStream::Write(const void* data, std::size_t count) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < count && FFile.Valid() && FError == 0) {
    const ssize_t n = SeamWrite(FFile.Fd(), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      FError = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool TFileStream::Close() {
  if (FClosed) return FError == 0;
  FClosed = true;
  if (FFile.Valid() && ::close(FFile.Release()) != 0 && FError == 0) FError = errno;
  if (FTemporary.empty()) return FError == 0;
  const TTerminationSignalsBlocked held;
  if (FError == 0 && ::rename(FTemporary.c_str(), FTarget.c_str()) != 0) FError = errno;
  if (FError == 0) {
    ++Published;
  } else {
    ::unlink(FTemporary.c_str());
  }
  UnregisterPending(this);
  FTemporary.clear();
  return FError == 0;
}

void TFileStream::Discard() {
  if (FFile.Valid()) ::close(FFile.Release());
  if (!FClosed && FError == 0) FError = ECANCELED;
  FClosed = true;
  if (FTemporary.empty()) return;
  const TTerminationSignalsBlocked held;
  ::unlink(FTemporary.c_str());
  UnregisterPending(this);
  FTemporary.clear();
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace mosaicer
