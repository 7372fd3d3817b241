// Byte streams the encoder writes into: a growing block of memory, or a file published whole.
// File creation and writing pass through a seam that tests can make fail at call N.
#pragma once

#include <csignal>
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

// What a symbolic link at the final path means.
enum class TLinkPolicy {
  // The link itself is replaced: a link, hard link or file planted under a name we chose is
  // never written through.
  Replace,
  // The link stays and the file it leads to is replaced: a name the user gave us.
  Follow,
};

// A file published whole. The bytes go to a hidden temporary file beside the final name
// (".NAME.XXXXXX", created exclusively, never through a link, mode 0666 less the umask); Close
// renames it over the final name. Until then, and after any failure, the old file at the path is
// untouched and the temporary file is removed. A path that exists and is not a regular file
// (a device, a FIFO, /dev/stdout) is written straight instead: never renamed over or removed.
class TFileStream : public TStream {
public:
  // Fails with EFCreateError carrying the final path made absolute and the system's text.
  explicit TFileStream(const std::string& path, TLinkPolicy links = TLinkPolicy::Replace);
  // A file that was not closed is discarded.
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  // Retries interrupted and partial writes; returns fewer bytes than asked only on failure, after
  // which the stream stores nothing more and Close fails.
  std::size_t Write(const void* data, std::size_t count) noexcept override;

  // Flushes, closes and publishes. False when any write, the close (a delayed write error) or
  // the rename failed; Error() then gives the system's code and nothing was published.
  bool Close();
  // Gives up: removes the temporary file. Harmless after Close.
  void Discard();

  int Error() const { return FError; }
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
  std::string FTarget;     // the name the file is published under, links followed or not
  std::string FTemporary;  // empty when writing straight, or once published or removed
  TFileHandle FFile;
  int FError = 0;
  bool FClosed = false;
};

// Removes a file; false if it could not be removed.
bool DeleteFile(const std::string& path);

// For a signal handler that ends the process: removes the temporary file being written, if
// any. Async-signal-safe. Exact only when the handler runs on the thread that writes files,
// which TTerminationSignalsBlocked arranges.
void RemovePendingTemporaryFile() noexcept;

// How many files this process has published (renamed into place); async-signal-safe.
std::int64_t PublishedFiles() noexcept;

// Holds SIGINT, SIGTERM and SIGHUP back from the calling thread while it lives (threads started
// meanwhile keep them held for good), so that a handler never sees a temporary file half
// registered or a file renamed but not yet counted.
class TTerminationSignalsBlocked {
public:
  TTerminationSignalsBlocked();
  ~TTerminationSignalsBlocked();
  TTerminationSignalsBlocked(const TTerminationSignalsBlocked&) = delete;
  TTerminationSignalsBlocked& operator=(const TTerminationSignalsBlocked&) = delete;

private:
  sigset_t FPrevious;
};

// The seam. Calls are counted from the last Reset(): FailCreateAt(3, EACCES) makes the third
// file creation fail with EACCES; FailWriteAt(n, ENOSPC) makes the n-th write call store nothing
// and fail. 0 turns a fault off. SlowWritesBy(us) sleeps before every write, so that a test can
// stop a process part way.
namespace FileSeam {
void Reset();
void FailCreateAt(int call, int error);
void FailWriteAt(int call, int error);
void SlowWritesBy(int microseconds);
int CreateCalls();
int WriteCalls();
}  // namespace FileSeam

}  // namespace mosaicer
