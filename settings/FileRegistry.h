// The registry kept in files, one per key, in the user's configuration folder: the key
// "Software\Maker\Program" is the file Maker/Program.conf under $XDG_CONFIG_HOME (or ~/.config),
// in the INI format of QSettings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "settings/RegistryBackend.h"

namespace mosaicer {

// Binary values are stored as byte arrays, string values as text (UTF-8), string lists as lists;
// anything else in a file, and a file that cannot be read or parsed, reads as missing values.
// Every value written rewrites the file under a lock file and replaces it atomically, so readers
// and other writers, in this process or another, always see one whole file.
class TFileRegistry : public TRegistryBackend {
public:
  // Keys live below configHome; empty means the user's configuration folder, looked up at every
  // open.
  explicit TFileRegistry(std::string configHome = {});

  std::int32_t OpenKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) override;
  std::int32_t CreateKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) override;
  std::int32_t QueryValue(TRegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* size) override;
  std::int32_t SetValue(TRegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
  std::int32_t CloseKey(TRegKey key) override;

  // Handles handed out and not closed yet.
  std::size_t OpenKeyCount() const;

  // The file that holds a key's values, or an error code when the path names no key that can be
  // kept: only keys below "Software" can, and no component may be empty, "." or "..", or hold "/".
  static std::int32_t KeyFileOf(const std::string& configHome, const std::string& path, std::string& file);

protected:
  // Writes all bytes to an open file; returns 0 or an errno value. A seam for tests.
  virtual int WriteAll(int fd, const char* data, std::size_t size);

private:
  struct TOpenKey {
    std::string File;
    std::uint32_t Access = 0;
  };

  std::int32_t FileOfKey(TRegKey root, const std::string& path, std::string& file) const;
  std::int32_t AddKey(const std::string& file, std::uint32_t access, TRegKey& key);
  bool FindKey(TRegKey key, TOpenKey& found) const;
  int ReplaceFile(const std::string& path, const std::string& bytes);

  std::string FConfigHome;
  mutable std::mutex FMutex;
  std::map<TRegKey, TOpenKey> FKeys;
  TRegKey FNextKey = 0x100;
};

// $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config.
std::string UserConfigHome();

}  // namespace mosaicer
