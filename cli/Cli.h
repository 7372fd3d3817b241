// The command-line tool: the core's work from a shell, for scripting and testing.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace mosaicer {

// Runs one command. Returns the exit code: 0 done, 1 failed (the message went to err), 2 wrong
// usage (the usage text went to err). Progress is shown on err only when it is a terminal.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal = false);

}  // namespace mosaicer
