// A temporary configuration folder for the settings tests, and a registry that records calls.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "settings/RegistryBackend.h"
#include "tests/support/TestPictures.h"

namespace mosaicer::testing {

// Points XDG_CONFIG_HOME at a fresh folder for the life of the object (never the real one).
class TConfigHome {
public:
  TConfigHome() : TConfigHome(std::nullopt) {}
  // With a path, XDG_CONFIG_HOME is that path instead of the fresh folder.
  explicit TConfigHome(const std::optional<std::string>& path) {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) FOld = old;
    FPath = path ? *path : FDir.Path();
    setenv("XDG_CONFIG_HOME", FPath.c_str(), 1);
  }
  ~TConfigHome() {
    if (FOld)
      setenv("XDG_CONFIG_HOME", FOld->c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }
  TConfigHome(const TConfigHome&) = delete;
  TConfigHome& operator=(const TConfigHome&) = delete;

  const std::string& Path() const { return FPath; }
  const TTempDir& Dir() const { return FDir; }

private:
  TTempDir FDir;
  std::string FPath;
  std::optional<std::string> FOld;
};

// Passes every call on, counts open handles, and can make chosen calls fail.
class TRecordingRegistry : public TRegistryBackend {
public:
  explicit TRecordingRegistry(TRegistryBackend& inner) : FInner(inner) {}

  std::int32_t OpenKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) override {
    Calls.push_back("OpenKey");
    const std::int32_t result = FInner.OpenKey(root, path, access, key);
    if (result == kErrorSuccess) ++OpenHandles;
    return result;
  }
  std::int32_t CreateKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) override {
    Calls.push_back("CreateKey");
    const std::int32_t result = FInner.CreateKey(root, path, access, key);
    if (result == kErrorSuccess) ++OpenHandles;
    return result;
  }
  std::int32_t QueryValue(TRegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* size) override {
    Calls.push_back(data ? "QueryData" : "QuerySize");
    if (data && FailDataQuery) return FailDataQuery;
    return FInner.QueryValue(key, name, type, data, size);
  }
  std::int32_t SetValue(TRegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override {
    Calls.push_back("SetValue");
    LastSetKey = key;
    LastSetResult = FailSet ? FailSet : FInner.SetValue(key, name, type, data, size);
    return LastSetResult;
  }
  std::int32_t CloseKey(TRegKey key) override {
    Calls.push_back("CloseKey");
    const std::int32_t result = FInner.CloseKey(key);
    if (result == kErrorSuccess) --OpenHandles;
    return result;
  }

  int OpenHandles = 0;
  std::vector<std::string> Calls;
  std::int32_t FailDataQuery = 0;
  std::int32_t FailSet = 0;
  TRegKey LastSetKey = kNoKey;
  std::int32_t LastSetResult = 0;

private:
  TRegistryBackend& FInner;
};

}  // namespace mosaicer::testing
