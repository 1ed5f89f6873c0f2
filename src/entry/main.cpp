#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "entry/cli.h"

namespace {

// A descriptor 0, 1 or 2 that the parent left closed would go to the first file or socket the
// process opens: the command reader would then read a socket as its input, or the output lines
// would land in a recording. /dev/null takes its place, so a closed standard input reads as the
// end of input and a closed standard output swallows the lines.
void open_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null < 0) return;
        if (null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

}  // namespace

// Worker threads are detached and may still run when a mode returns. Leaving through _Exit skips
// static destructors they might be using; every output line has already been written unbuffered.
int main(int argc, char** argv) {
    open_standard_descriptors();
    std::_Exit(mixengine::run_command_line(argc, argv));
}
