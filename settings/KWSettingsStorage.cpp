#include "settings/KWSettingsStorage.h"

namespace mosaicer {

std::string IntToBinaryString(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>((bits >> (24 - 8 * i)) & 0xFFu);
  return text;
}

std::int32_t BinaryStringToInt(const std::string& text, std::int32_t defaultValue) {
  if (text.size() != 4) return defaultValue;
  std::uint32_t bits = 0;
  for (const char c : text) bits = (bits << 8) | static_cast<unsigned char>(c);
  return static_cast<std::int32_t>(bits);
}

void TKWSettingsStorage::WriteString(const std::string& name, const std::string& value) { DoWriteString(name, value); }

std::string TKWSettingsStorage::ReadString(const std::string& name, const std::string& defaultValue) {
  return DoReadString(name, defaultValue);
}

void TKWSettingsStorage::WriteInteger(const std::string& name, std::int32_t value) {
  DoWriteString(name, IntToBinaryString(value));
}

std::int32_t TKWSettingsStorage::ReadInteger(const std::string& name, std::int32_t defaultValue) {
  return BinaryStringToInt(DoReadString(name, std::string()), defaultValue);
}

void TKWSettingsStorage::DoWriteString(const std::string&, const std::string&) {}

std::string TKWSettingsStorage::DoReadString(const std::string&, const std::string& defaultValue) {
  return defaultValue;
}

void TKWSettingsStorage::RaiseError(const std::string& message) {
  if (FRaiseErrors) throw EKWSettingsStorageError(message);
}

void TKWRegistrySettingsStorage::OpenForRead() {
  if (FReadKey != kNoKey) CloseRead();
  const std::int32_t result = FRegistry.OpenKey(FRootKey, FKeyPath, kKeyRead, FReadKey);
  if (result != kErrorSuccess) {
    FReadKey = kNoKey;
    RaiseError("Registry open error " + std::to_string(result));
  }
}

void TKWRegistrySettingsStorage::CloseRead() {
  if (FReadKey != kNoKey) FRegistry.CloseKey(FReadKey);
  FReadKey = kNoKey;
}

void TKWRegistrySettingsStorage::OpenForWrite() {
  if (FWriteKey != kNoKey) CloseWrite();
  std::int32_t result = FRegistry.OpenKey(FRootKey, FKeyPath, kKeyWrite, FWriteKey);
  // Only a missing key is created; access denied and the like stay failures.
  if (result == kErrorFileNotFound) result = FRegistry.CreateKey(FRootKey, FKeyPath, kKeyWrite, FWriteKey);
  if (result != kErrorSuccess) {
    FWriteKey = kNoKey;
    RaiseError("Registry open error " + std::to_string(result));
  }
}

void TKWRegistrySettingsStorage::CloseWrite() {
  if (FWriteKey != kNoKey) FRegistry.CloseKey(FWriteKey);
  FWriteKey = kNoKey;
}

namespace {

// Runs a member function at scope exit, also when an exception passes.
class TCloseOnExit {
public:
  TCloseOnExit(TKWRegistrySettingsStorage& store, void (TKWRegistrySettingsStorage::*close)(), bool active)
      : FStore(store), FClose(close), FActive(active) {}
  ~TCloseOnExit() {
    if (FActive) (FStore.*FClose)();
  }
  TCloseOnExit(const TCloseOnExit&) = delete;
  TCloseOnExit& operator=(const TCloseOnExit&) = delete;

private:
  TKWRegistrySettingsStorage& FStore;
  void (TKWRegistrySettingsStorage::*FClose)();
  bool FActive;
};

}  // namespace

void TKWRegistrySettingsStorage::DoWriteString(const std::string& name, const std::string& value) {
  if (FWriteKey != kNoKey) {
    WriteValue(name, value);
    return;
  }
  // After a failed open the write goes to no key and reports its own failure.
  OpenForWrite();
  const TCloseOnExit closer(*this, &TKWRegistrySettingsStorage::CloseWrite, true);
  WriteValue(name, value);
}

void TKWRegistrySettingsStorage::WriteValue(const std::string& name, const std::string& value) {
  const std::int32_t result = FRegistry.SetValue(FWriteKey, name, kRegBinary,
                                                 reinterpret_cast<const std::uint8_t*>(value.data()),
                                                 static_cast<std::uint32_t>(value.size()));
  if (result != kErrorSuccess) RaiseError("Registry write error " + std::to_string(result));
}

std::string TKWRegistrySettingsStorage::DoReadString(const std::string& name, const std::string& defaultValue) {
  const bool ownKey = FReadKey == kNoKey;
  const TCloseOnExit closer(*this, &TKWRegistrySettingsStorage::CloseRead, ownKey);
  if (ownKey) OpenForRead();
  return ReadValue(name, defaultValue);
}

std::string TKWRegistrySettingsStorage::ReadValue(const std::string& name, const std::string& defaultValue) {
  // A missing value or a failed query leaves the type at 0 and the size at 0.
  std::uint32_t type = kRegNone;
  std::uint32_t size = 0;
  FRegistry.QueryValue(FReadKey, name, &type, nullptr, &size);
  if (type != kRegBinary) RaiseError("Wrong value type: " + std::to_string(type));
  std::string result(size, '\0');
  const std::int32_t status =
      FRegistry.QueryValue(FReadKey, name, nullptr, reinterpret_cast<std::uint8_t*>(result.data()), &size);
  if (status != kErrorSuccess) {
    result = defaultValue;
    RaiseError("Registry read error " + std::to_string(status));
  } else {
    // The value may have shrunk since its size was asked for.
    result.resize(size);
  }
  return result;
}

}  // namespace mosaicer
