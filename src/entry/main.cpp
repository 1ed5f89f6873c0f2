#include <cstdlib>

#include "entry/cli.h"

// Worker threads are detached and may still run when a mode returns. Leaving through _Exit skips
// static destructors they might be using; every output line has already been written unbuffered.
int main(int argc, char** argv) { std::_Exit(mixengine::run_command_line(argc, argv)); }
