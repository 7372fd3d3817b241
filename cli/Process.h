// What mosaicer-cli adds around RunCli as a process: termination signals that leave no
// temporary file and say how far a save got, and standard output checked to the last byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mosaicer {

// Runs RunCli on the process's own standard output and error, as main does. Ignores SIGPIPE and
// SIGXFSZ, so a closed pipe or a file-size limit is a write error with a message; catches
// SIGINT, SIGTERM and SIGHUP, removes the temporary file being written and exits with 128 + the
// signal. Output that cannot be written or flushed makes the exit code 1.
int RunProcess(const std::vector<std::string>& args);

// While it lives, a termination signal also reports "Interrupted: W of TOTAL fragments were
// written" on standard error, W being the files published since it was made.
class TFragmentCount {
public:
  TFragmentCount(std::int32_t total, bool afterProgressLine);
  ~TFragmentCount();
  TFragmentCount(const TFragmentCount&) = delete;
  TFragmentCount& operator=(const TFragmentCount&) = delete;
};

}  // namespace mosaicer
