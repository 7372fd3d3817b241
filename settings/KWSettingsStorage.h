// A small typed name/value store: text and integers by name. The base class is a null store;
// TKWRegistrySettingsStorage keeps the values under one key of the current user's settings.
// Failures are silent unless RaiseErrors is switched on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/Exceptions.h"

class QSettings;

namespace mosaicer {

// A key handle; kNoKey is "none". Keys live below the current user's root.
using TRegKey = std::uintptr_t;
inline constexpr TRegKey kNoKey = 0;
inline constexpr TRegKey kHKeyCurrentUser = 0x80000001;

// The numbers the store's messages carry.
inline constexpr std::int32_t kSettingsMissing = 2;     // no such key, value or open key
inline constexpr std::int32_t kSettingsAccess = 5;      // the file or its folder cannot be read or written
inline constexpr std::int32_t kSettingsDamaged = 13;    // the file is not a settings file
inline constexpr std::int32_t kSettingsDiskFull = 112;  // a write failed where writing is allowed

// The value type "Wrong value type: %d" names: the store's own values are 3, anything else 0.
inline constexpr std::int32_t kSettingsBinary = 3;

// A store failure: "Registry open error %d", "Registry write error %d" or "Wrong value type: %d".
// ("Registry read error %d" cannot arise: a key's values are read with its file when it opens.)
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

// The key "Software\Maker\Program" is the QSettings INI file Maker/Program.conf under
// $XDG_CONFIG_HOME (or ~/.config); a value is a byte array, or a plain text line read as its
// UTF-8 bytes. Every write is saved at once, atomically and under QSettings' lock file.
//
// Calling order: set KeyPath; then OpenForRead, reads, CloseRead; or OpenForWrite, writes,
// CloseWrite. A read or write without an open key of its kind opens one for its single access.
class TKWRegistrySettingsStorage : public TKWSettingsStorage {
public:
  TKWRegistrySettingsStorage();
  // Keys still open are released; every write has been saved or reported already.
  ~TKWRegistrySettingsStorage() override;

  TRegKey ReadKey() const { return reinterpret_cast<TRegKey>(FRead.get()); }
  TRegKey WriteKey() const { return reinterpret_cast<TRegKey>(FWrite.get()); }
  TRegKey RootKey() const { return FRootKey; }
  void SetRootKey(TRegKey value) { FRootKey = value; }
  const std::string& KeyPath() const { return FKeyPath; }
  void SetKeyPath(const std::string& value) { FKeyPath = value; }

  void OpenForRead();
  void CloseRead();
  void OpenForWrite();
  void CloseWrite();

  // The file that holds the key's values; empty when RootKey and KeyPath name no key that can
  // be kept: only keys below "Software" can, and no component may be empty, "." or "..", or
  // hold "/".
  std::string KeyFile() const;

protected:
  void DoWriteString(const std::string& name, const std::string& value) override;
  std::string DoReadString(const std::string& name, const std::string& defaultValue) override;

private:
  // The key's file, read; null with the failure's number otherwise.
  std::unique_ptr<QSettings> OpenKey(bool forWrite, std::int32_t& error) const;
  std::int32_t WriteValue(const std::string& name, const std::string& value);

  std::unique_ptr<QSettings> FRead;
  std::unique_ptr<QSettings> FWrite;
  TRegKey FRootKey = kHKeyCurrentUser;
  std::string FKeyPath;
};

// $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config.
std::string UserConfigHome();

}  // namespace mosaicer
