#include <unistd.h>

#include <iostream>

#include "cli/Cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  return mosaicer::RunCli({argv + 1, argv + argc}, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
