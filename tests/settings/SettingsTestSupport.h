// A temporary configuration folder for the settings tests.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

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

}  // namespace mosaicer::testing
