// Running mosaicer-cli's commands in the test process, and reading what they print.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"

namespace mosaicer::testing {

struct TRun {
  int Code;
  std::string Out, Err;
};

inline TRun RunTool(const std::vector<std::string>& args, bool errIsTerminal = false) {
  std::ostringstream out, err;
  const int code = RunCli(args, out, err, errIsTerminal);
  return {code, out.str(), err.str()};
}

// Every src value of the HTML, in the order of the page.
inline std::vector<std::string> SourcesOf(const std::string& html) {
  std::vector<std::string> sources;
  for (std::size_t at = html.find("src=\""); at != std::string::npos; at = html.find("src=\"", at + 1)) {
    const std::size_t start = at + 5;
    sources.push_back(html.substr(start, html.find('"', start) - start));
  }
  return sources;
}

}  // namespace mosaicer::testing
