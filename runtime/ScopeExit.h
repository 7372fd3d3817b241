// Runs a piece of code when the scope it was made in ends, however it ends.
#pragma once

#include <utility>

namespace mosaicer {

template <typename F>
class TScopeExit {
public:
  explicit TScopeExit(F work) : FWork(std::move(work)) {}
  ~TScopeExit() { FWork(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

private:
  F FWork;
};

}  // namespace mosaicer
