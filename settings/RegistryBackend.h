// The registry calls the settings store makes, behind one small interface, so that each
// platform can put its own key/value storage behind the store without touching it.
#pragma once

#include <cstdint>
#include <string>

namespace mosaicer {

// A key handle as the registry hands it out; kNoKey is "none".
using TRegKey = std::uintptr_t;
inline constexpr TRegKey kNoKey = 0;
inline constexpr TRegKey kHKeyCurrentUser = 0x80000001;

// Access masks.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;

// Value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegMultiSz = 7;

// The system error codes the calls return (0 is success).
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorPathNotFound = 3;
inline constexpr std::int32_t kErrorAccessDenied = 5;
inline constexpr std::int32_t kErrorInvalidHandle = 6;
inline constexpr std::int32_t kErrorLockViolation = 33;
inline constexpr std::int32_t kErrorInvalidParameter = 87;
inline constexpr std::int32_t kErrorDiskFull = 112;
inline constexpr std::int32_t kErrorFilenameExcedRange = 206;
inline constexpr std::int32_t kErrorMoreData = 234;
inline constexpr std::int32_t kErrorBadKey = 1010;
inline constexpr std::int32_t kErrorCantOpen = 1011;
inline constexpr std::int32_t kErrorCantRead = 1012;
inline constexpr std::int32_t kErrorCantWrite = 1013;

// Keys named by paths of backslash-separated components below a root key; named values that
// carry a type and raw bytes. Every call returns a system error code.
class TRegistryBackend {
public:
  virtual ~TRegistryBackend() = default;

  // Opens an existing key; `key` is kNoKey on failure.
  virtual std::int32_t OpenKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) = 0;
  // Opens a key, creating it and its missing parents first; `key` is kNoKey on failure.
  virtual std::int32_t CreateKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) = 0;
  // Any of type, data and size may be null. With data null, asks for type and size only. With a
  // buffer of *size bytes that is too small, fails with kErrorMoreData and sets *size to what is
  // needed. On success *size is the count of bytes copied. Outputs are left alone on other
  // failures.
  virtual std::int32_t QueryValue(TRegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                                  std::uint32_t* size) = 0;
  virtual std::int32_t SetValue(TRegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                                std::uint32_t size) = 0;
  virtual std::int32_t CloseKey(TRegKey key) = 0;
};

// The platform's registry, shared by the whole process.
TRegistryBackend& DefaultRegistry();

}  // namespace mosaicer
