#include "cli/Process.h"

int main(int argc, char** argv) { return mosaicer::RunProcess({argv + 1, argv + argc}); }
