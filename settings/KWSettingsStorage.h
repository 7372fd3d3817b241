// A small typed name/value store: text and integers by name. The base class is a null store;
// TKWRegistrySettingsStorage keeps the values under one key of the current user's registry.
// Failures are silent unless RaiseErrors is switched on.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Exceptions.h"
#include "settings/RegistryBackend.h"

namespace mosaicer {

// A store failure: "Registry open error %d", "Registry read error %d", "Registry write error %d"
// or "Wrong value type: %d".
class EKWSettingsStorageError : public Exception {
public:
  using Exception::Exception;
};

// Four bytes, most significant first (two's complement).
std::string IntToBinaryString(std::int32_t value);
// The four bytes read most significant first; the default when the text is not 4 bytes long.
std::int32_t BinaryStringToInt(const std::string& text, std::int32_t defaultValue);

class TKWSettingsStorage {
public:
  TKWSettingsStorage() = default;
  virtual ~TKWSettingsStorage() = default;
  TKWSettingsStorage(const TKWSettingsStorage&) = delete;
  TKWSettingsStorage& operator=(const TKWSettingsStorage&) = delete;

  bool RaiseErrors() const { return FRaiseErrors; }
  void SetRaiseErrors(bool value) { FRaiseErrors = value; }

  void WriteString(const std::string& name, const std::string& value);
  std::string ReadString(const std::string& name, const std::string& defaultValue);
  void WriteInteger(const std::string& name, std::int32_t value);
  std::int32_t ReadInteger(const std::string& name, std::int32_t defaultValue);

protected:
  // The base store drops writes and gives defaults.
  virtual void DoWriteString(const std::string& name, const std::string& value);
  virtual std::string DoReadString(const std::string& name, const std::string& defaultValue);

  // Raises EKWSettingsStorageError with the message when RaiseErrors is on; otherwise nothing.
  void RaiseError(const std::string& message);

private:
  bool FRaiseErrors = false;
};

// Text values are binary registry values holding exactly the text's bytes.
//
// Calling order: set KeyPath; then OpenForRead, reads, CloseRead; or OpenForWrite, writes,
// CloseWrite. A read or write without an open key of its kind opens one for its single access.
// The destructor closes nothing: whoever opens a key closes it.
class TKWRegistrySettingsStorage : public TKWSettingsStorage {
public:
  TKWRegistrySettingsStorage() : TKWRegistrySettingsStorage(DefaultRegistry()) {}
  explicit TKWRegistrySettingsStorage(TRegistryBackend& registry) : FRegistry(registry) {}

  TRegKey ReadKey() const { return FReadKey; }
  TRegKey WriteKey() const { return FWriteKey; }
  TRegKey RootKey() const { return FRootKey; }
  void SetRootKey(TRegKey value) { FRootKey = value; }
  const std::string& KeyPath() const { return FKeyPath; }
  void SetKeyPath(const std::string& value) { FKeyPath = value; }

  void OpenForRead();
  void CloseRead();
  void OpenForWrite();
  void CloseWrite();

protected:
  void DoWriteString(const std::string& name, const std::string& value) override;
  std::string DoReadString(const std::string& name, const std::string& defaultValue) override;

private:
  void WriteValue(const std::string& name, const std::string& value);
  std::string ReadValue(const std::string& name, const std::string& defaultValue);

  TRegistryBackend& FRegistry;
  TRegKey FReadKey = kNoKey;
  TRegKey FWriteKey = kNoKey;
  TRegKey FRootKey = kHKeyCurrentUser;
  std::string FKeyPath;
};

}  // namespace mosaicer
